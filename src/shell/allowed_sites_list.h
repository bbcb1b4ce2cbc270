#pragma once

#include "shell/site_list.h"

namespace quillmark {

// The sites the user allowed, with a button that forgets the one selected (its next request
// asks again), and after them the administrator's, marked and read-only.
class AllowedSitesList : public SiteList {
    Q_OBJECT

  public:
    explicit AllowedSitesList(QWidget* parent = nullptr);
};

}  // namespace quillmark

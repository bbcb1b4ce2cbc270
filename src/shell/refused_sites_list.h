#pragma once

#include "shell/site_list.h"

namespace quillmark {

// The sites the user denied since the agent started, with a button that allows the one
// selected (it joins the user's list) and one that forgets the refusal (its next request
// asks again). A site allowed meanwhile, even by an edit of the file, leaves the list.
class RefusedSitesList : public SiteList {
    Q_OBJECT

  public:
    explicit RefusedSitesList(QWidget* parent = nullptr);
};

}  // namespace quillmark

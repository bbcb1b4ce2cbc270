#include "shell/application_icon.h"

#include <QString>

namespace quillmark {

QIcon applicationIcon() {
    QIcon builtIn;
    for (const int size : {16, 24, 32, 48, 256})
        builtIn.addFile(QStringLiteral(":/icons/quillmark-%1.png").arg(size), QSize(size, size));
    return QIcon::fromTheme(QStringLiteral("quillmark"), builtIn);
}

}  // namespace quillmark

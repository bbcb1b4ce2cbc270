#include "shell/main_window_size.h"

#include <QFileInfo>
#include <QSettings>

#include "support/user_directories.h"

namespace quillmark {
namespace {

constexpr char kSizeKey[] = "MainWindow/size";

}  // namespace

QString mainWindowSizeFile() {
    const std::string state = xdgDirectory("XDG_STATE_HOME", ".local/state");
    if (state.empty()) return {};
    return QString::fromStdString(state) + QStringLiteral("/quillmark/window.ini");
}

QSize savedMainWindowSize(const QString& file) {
    if (file.isEmpty() || !QFileInfo(file).isFile()) return {};
    const QSettings settings(file, QSettings::IniFormat);
    const QSize size = settings.value(QLatin1String(kSizeKey)).toSize();
    return size.isValid() && !size.isEmpty() ? size : QSize();
}

bool saveMainWindowSize(const QString& file, const QSize& size) {
    if (file.isEmpty() || !makeDirectories(QFileInfo(file).path().toStdString())) return false;
    QSettings settings(file, QSettings::IniFormat);
    settings.setValue(QLatin1String(kSizeKey), size);
    settings.sync();
    return settings.status() == QSettings::NoError;
}

}  // namespace quillmark

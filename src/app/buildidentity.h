// What the program says about itself, in one place for start-up, the hub
// and the service client.
#pragma once

#include <QString>

namespace BuildIdentity {
// "1.1.15": also the application version the About dialog shows.
inline const QString version = QStringLiteral(ONDALINE_VERSION);
// Above this, the service offers a newer build.
constexpr int versionCode = 101150;
inline const QString settingsFileName = QStringLiteral("ondaline.ini");
} // namespace BuildIdentity

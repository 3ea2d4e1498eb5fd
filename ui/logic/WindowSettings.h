#pragma once
// The window's own settings (its size and place, the splitter, the lists'
// columns, the page it was closed on, the activity log file, the answer to
// the close question): an INI file "Window.conf" in the configuration folder
// that also holds the redirector's key file
// ($XDG_CONFIG_HOME/VelmoraAnonumizer/, by default ~/.config/VelmoraAnonumizer/).
// The folder is looked up anew for every object, so a test may move it.

#include <QSettings>
#include <QString>
#include <memory>

class TWindowSettings {
public:
    // Keys.
    static constexpr const char *Geometry = "Window/Geometry";
    static constexpr const char *Splitter = "Window/Splitter";
    static constexpr const char *ProxyColumns = "Window/ProxyColumns";
    static constexpr const char *ChainColumns = "Window/ChainColumns";
    static constexpr const char *Page = "Window/Page";
    static constexpr const char *LogToFile = "Activity/LogToFile";
    static constexpr const char *LogFile = "Activity/LogFile";
    static constexpr const char *CloseAnswer = "Close/Answer";

    TWindowSettings();
    ~TWindowSettings();

    // The INI file's path.
    static QString FileName();
    QSettings &Settings() { return *FSettings; }
    QVariant Value(const char *key, const QVariant &fallback = {}) const;
    // The file the activity is logged to: empty while that is off.
    QString ActivityLogFile() const;
    // The log file's path as set (on or off); the data folder's
    // "activity.log" until one is set.
    QString LogFilePath() const;
    void SetValue(const char *key, const QVariant &value);

private:
    std::unique_ptr<QSettings> FSettings;
};

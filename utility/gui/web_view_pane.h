#pragma once

#include <QWidget>

#include <functional>
#include <string>

class QVBoxLayout;

namespace utility::gui {

// The window's web view (the bottom pane shown by the navigation's web
// entry): an embedded browser where the build has Qt WebEngine.
class WebViewPane final : public QWidget {
    Q_OBJECT
public:
    explicit WebViewPane(QWidget* parent = nullptr);

    // Shows the address; false with the reason when no embedded browser can
    // run here.
    bool navigate(const std::string& url, std::string& why);
    // Called when a page has finished loading (true) or failed (false).
    void setLoadedCallback(std::function<void(bool ok)> callback) { m_loaded = std::move(callback); }
    // Called when the browser's render process died; the caller falls back.
    void setFailedCallback(std::function<void(const std::string& url, const std::string& why)> callback)
    {
        m_failed = std::move(callback);
    }
    QWidget* browser() const { return m_browser; }

    // Settings the embedded browser needs before the application object
    // exists; call first in main.
    static void prepareApplication();
    static bool available();

private:
    QVBoxLayout* m_layout;
    QWidget* m_browser = nullptr;
    std::string m_url;
    std::function<void(bool)> m_loaded;
    std::function<void(const std::string&, const std::string&)> m_failed;
};

} // namespace utility::gui

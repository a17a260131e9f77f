#pragma once

#include "platform/event_loop.h"
#include "platform/prompter.h"
#include "utility/devmgmt/device_setup.h"
#include "utility/devmgmt/device_view.h"
#include "utility/devmgmt/setup_sheet.h"

#include <QObject>

#include <functional>
#include <memory>
#include <string>

class QWidget;

namespace utility::gui {

class DeviceViewWidget;
class SetupSheetDialog;
class WebViewPane;

// Binds "Device Setup" (button and double-click) and "Web Browser" of the
// device view to their controllers: the setup sheet shown as a modal
// dialog, the system browser through xdg-open, and the window's web view.
class DeviceSetupBinding final : public QObject {
    Q_OBJECT
public:
    struct WebView {
        WebViewPane* pane = nullptr; // none: the external browser only
        std::function<void()> show; // brings the web view pane forward
        std::function<void(const std::string&)> log; // a system log line (also what a setup did)
    };

    DeviceSetupBinding(platform::EventLoop& loop, devmgmt::DeviceView& view, DeviceViewWidget& widget,
        platform::Prompter& prompter, WebView web, QWidget* dialogParent);
    ~DeviceSetupBinding() override;

    devmgmt::SetupSheet& sheet() { return m_sheet; }
    devmgmt::DeviceSetup& setup() { return *m_setup; }
    devmgmt::WebAccess& web() { return *m_web; }
    // The sheet while it is shown.
    SetupSheetDialog* openSheet() const { return m_dialog; }

    // Opens an address with the system's default handler.
    static bool openExternal(const std::string& url);

private:
    bool showSheet();

    devmgmt::DeviceView& m_view;
    devmgmt::SetupSheet m_sheet;
    std::string m_target; // the address and MAC of the device being set up
    std::string m_targetMac;
    std::unique_ptr<devmgmt::DeviceSetup> m_setup;
    std::unique_ptr<devmgmt::WebAccess> m_web;
    WebView m_webView;
    QWidget* m_dialogParent;
    SetupSheetDialog* m_dialog = nullptr;
};

} // namespace utility::gui

#include "utility/gui/device_setup_binding.h"

#include "utility/gui/activity_log.h"
#include "utility/gui/device_view_widget.h"
#include "utility/gui/setup_sheet_dialog.h"
#include "utility/gui/web_view_pane.h"
#include "utility/gui/window_parts.h"

#include <QProcess>
#include <QPushButton>

namespace utility::gui {

DeviceSetupBinding::DeviceSetupBinding(platform::EventLoop& loop, devmgmt::DeviceView& view, DeviceViewWidget& widget,
    platform::Prompter& prompter, WebView web, QWidget* dialogParent)
    : m_view(view)
    , m_sheet(prompter)
    , m_webView(std::move(web))
    , m_dialogParent(dialogParent)
{
    m_setup = std::make_unique<devmgmt::DeviceSetup>(loop, view, m_sheet, prompter, [this] { return showSheet(); });
    m_setup->setFinishedCallback([this](devmgmt::DeviceSetup::Outcome outcome) {
        const std::string line = setupLogLine(m_sheet, outcome, m_target, m_targetMac);
        if (!line.empty() && m_webView.log)
            m_webView.log(line);
    });
    devmgmt::WebAccess::Openers openers;
    openers.external = &DeviceSetupBinding::openExternal;
    if (m_webView.pane) {
        // Without a handler for web addresses the page goes to the built-in
        // browser, and the log says why.
        openers.external = [this](const std::string& url) {
            openWithSystemHandler(url, this, [this, url](const std::string& why) {
                std::string problem;
                if (m_webView.log)
                    m_webView.log("External browser: " + why + "; opening " + url + " in the built-in browser");
                if (m_webView.pane->navigate(url, problem) && m_webView.show)
                    m_webView.show();
            });
            return true;
        };
        openers.embedded = [this](const std::string& url, std::string& why) {
            if (!m_webView.pane->navigate(url, why))
                return false;
            if (m_webView.show)
                m_webView.show();
            return true;
        };
        m_webView.pane->setFailedCallback([this](const std::string& url, const std::string& why) {
            if (m_webView.log)
                m_webView.log("Web view failed (" + why + "); opening " + url + " in the external browser");
            openExternal(url);
        });
    }
    openers.log = m_webView.log;
    m_web = std::make_unique<devmgmt::WebAccess>(view, prompter, std::move(openers));

    connect(widget.button(devmgmt::Button::DeviceSetup), &QPushButton::clicked, this, [this] { m_setup->start(); });
    connect(widget.button(devmgmt::Button::WebBrowser), &QPushButton::clicked, this, [this] { m_web->click(); });
    view.setDoubleClickHandler([this](std::size_t) { m_setup->start(); });
}

DeviceSetupBinding::~DeviceSetupBinding() = default;

bool DeviceSetupBinding::openExternal(const std::string& url)
{
    return QProcess::startDetached(QStringLiteral("xdg-open"), { QString::fromStdString(url) });
}

bool DeviceSetupBinding::showSheet()
{
    // The device the settings go to, as its row shows it before the reply
    // refreshes the row.
    if (m_view.currentRow < m_view.rows().size()) {
        const auto& texts = m_view.rows()[m_view.currentRow].texts;
        m_target = texts[devmgmt::kColumnIp];
        m_targetMac = texts[devmgmt::kColumnMac];
    }
    SetupSheetDialog dialog(m_sheet, m_dialogParent);
    m_dialog = &dialog;
    const int result = dialog.exec();
    m_dialog = nullptr;
    return result == QDialog::Accepted;
}

} // namespace utility::gui

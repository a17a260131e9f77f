#include "utility/gui/web_view_pane.h"

#include <QCoreApplication>
#include <QLabel>
#include <QUrl>
#include <QVBoxLayout>

#if SUITE_HAVE_WEBENGINE
#include <QWebEngineView>
#endif

#include <unistd.h>

namespace utility::gui {

WebViewPane::WebViewPane(QWidget* parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("WebView"));
    m_layout = new QVBoxLayout(this);
    m_layout->setContentsMargins(0, 0, 0, 0);
}

bool WebViewPane::available() { return SUITE_HAVE_WEBENGINE != 0; }

void WebViewPane::prepareApplication()
{
#if SUITE_HAVE_WEBENGINE
    QCoreApplication::setAttribute(Qt::AA_ShareOpenGLContexts);
    // The browser's sandbox refuses to start for root; the utility runs
    // as root in test containers and on some production-line hosts.
    if (geteuid() == 0 && qEnvironmentVariableIsEmpty("QTWEBENGINE_DISABLE_SANDBOX"))
        qputenv("QTWEBENGINE_DISABLE_SANDBOX", "1");
#endif
}

bool WebViewPane::navigate(const std::string& url, std::string& why)
{
#if SUITE_HAVE_WEBENGINE
    why.clear();
    if (!m_browser) {
        auto* view = new QWebEngineView(this);
        view->setObjectName(QStringLiteral("browser"));
        connect(view, &QWebEngineView::loadFinished, this, [this](bool ok) {
            if (m_loaded)
                m_loaded(ok);
        });
        connect(view->page(), &QWebEnginePage::renderProcessTerminated, this,
            [this](QWebEnginePage::RenderProcessTerminationStatus, int code) {
                if (m_failed)
                    m_failed(m_url, "the web view's render process ended with code " + std::to_string(code));
            });
        m_layout->addWidget(view);
        m_browser = view;
    }
    m_url = url;
    static_cast<QWebEngineView*>(m_browser)->setUrl(QUrl(QString::fromStdString(url)));
    return true;
#else
    (void)url;
    why = "this build has no embedded web view (Qt WebEngine was not found)";
    return false;
#endif
}

} // namespace utility::gui

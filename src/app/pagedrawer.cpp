#include "app/pagedrawer.h"

#include <QTimer>
#include <QVariantMap>
#include <QWebEngineLoadingInfo>
#include <QWebEnginePage>
#include <QWebEngineProfile>
#include <QWebEngineScript>
#include <QWebEngineScriptCollection>
#include <QWebEngineUrlRequestInterceptor>

namespace tw {

namespace {

// The page is taken as drawn once nothing of it has moved for this long.
constexpr int kQuietMs = 400;
constexpr int kPollMs = 100;

// Counts the page's fetch() and XMLHttpRequest calls in flight, and notes the last moment a
// request started or ended or the document changed.
const char kWatchScript[] = R"JS((() => {
  if (window.__tidewellState) return;
  let inFlight = 0, last = performance.now();
  const touch = () => { last = performance.now(); };
  window.__tidewellState = () => ({inFlight, quietMs: performance.now() - last,
    settled: location.protocol !== 'about:' && document.readyState === 'complete'});
  const fetchOf = window.fetch;
  if (fetchOf) window.fetch = function (...args) {
    inFlight++; touch();
    return fetchOf.apply(this, args).finally(() => { inFlight--; touch(); });
  };
  const send = XMLHttpRequest.prototype.send;
  XMLHttpRequest.prototype.send = function (...args) {
    inFlight++; touch();
    this.addEventListener('loadend', () => { inFlight--; touch(); });
    return send.apply(this, args);
  };
  new MutationObserver(touch).observe(document,
    {subtree: true, childList: true, characterData: true, attributes: true});
})())JS";

// The document as drawn, without what would draw it again from disk: its scripts and what
// preloads them. It is handed back as UTF-8, which its meta tag says, its links absolute: the copy
// may store it in another folder than its address's (a route of its hash).
const char kSerializeScript[] = R"JS((() => {
  for (const name of ['href', 'src'])
    document.querySelectorAll('[' + name + ']').forEach(e => {
      try { e.setAttribute(name, new URL(e.getAttribute(name), document.baseURI).href); } catch {}
    });
  document.querySelectorAll('script, link[rel="modulepreload"], link[rel="preload"][as="script"]')
    .forEach(e => e.remove());
  document.querySelectorAll('meta[http-equiv="Content-Type" i]').forEach(e => e.remove());
  let charset = document.querySelector('meta[charset]');
  if (!charset) {
    charset = document.createElement('meta');
    document.head.prepend(charset);
  }
  charset.setAttribute('charset', 'utf-8');
  const type = document.doctype;
  const doctype = type ? '<!DOCTYPE ' + type.name
      + (type.publicId ? ' PUBLIC "' + type.publicId + '"' : '')
      + (type.systemId ? ' "' + type.systemId + '"' : '') + '>\n' : '';
  return doctype + document.documentElement.outerHTML;
})())JS";

} // namespace

// Notes when the page last asked for anything: an image, a style sheet or a script a script added.
class RequestWatch final : public QWebEngineUrlRequestInterceptor
{
public:
    using QWebEngineUrlRequestInterceptor::QWebEngineUrlRequestInterceptor;
    void interceptRequest(QWebEngineUrlRequestInfo &) override { sinceRequest.restart(); }
    QElapsedTimer sinceRequest;
};

PageDrawer::PageDrawer(QObject *parent)
    : QObject(parent)
    , m_profile(new QWebEngineProfile(this)) // no name: off the record, nothing kept on disk
    , m_watch(new RequestWatch(this))
    , m_page(new QWebEnginePage(m_profile, this))
    , m_poll(new QTimer(this))
    , m_deadline(new QTimer(this))
{
    m_profile->setUrlRequestInterceptor(m_watch);
    m_watch->sinceRequest.start();
    QWebEngineScript watch;
    watch.setSourceCode(QString::fromUtf8(kWatchScript));
    watch.setInjectionPoint(QWebEngineScript::DocumentCreation);
    watch.setWorldId(QWebEngineScript::MainWorld);
    watch.setRunsOnSubFrames(false);
    m_page->scripts().insert(watch);
    m_poll->setInterval(kPollMs);
    m_deadline->setSingleShot(true);
    connect(m_poll, &QTimer::timeout, this, &PageDrawer::Poll);
    connect(m_deadline, &QTimer::timeout, this,
        [this] { Finish(false, QStringLiteral("did not settle in time")); });
    connect(
        m_page, &QWebEnginePage::loadingChanged, this, [this](const QWebEngineLoadingInfo &load) {
            // The load of the page before, cut short by this one, fails no drawing.
            if (load.status() == QWebEngineLoadingInfo::LoadFailedStatus
                && load.url().adjusted(QUrl::RemoveFragment) == m_target)
                Finish(false, QStringLiteral("could not be loaded: ") + load.errorString());
        });
    connect(m_page, &QWebEnginePage::renderProcessTerminated, this,
        [this] { Finish(false, QStringLiteral("its page stopped")); });
}

PageDrawer::~PageDrawer()
{
    // The page goes before the profile it was made with.
    delete m_page;
}

void PageDrawer::Draw(const QUrl &url, int timeoutMs, Done done)
{
    ++m_serial;
    m_target = url.adjusted(QUrl::RemoveFragment);
    m_done = std::move(done);
    m_deadline->start(timeoutMs);
    m_poll->start();
    m_page->load(url);
}

void PageDrawer::Poll()
{
    if (m_watch->sinceRequest.elapsed() < kQuietMs)
        return;
    const quint64 serial = m_serial;
    m_page->runJavaScript(QStringLiteral("window.__tidewellState && window.__tidewellState()"),
        [this, serial](const QVariant &result) {
            const QVariantMap state = result.toMap();
            if (serial != m_serial || !m_done || state.isEmpty())
                return;
            // The blank page between two drawings, or the last one, answers for no drawing.
            if (state.value(QStringLiteral("settled")).toBool()
                && state.value(QStringLiteral("inFlight")).toInt() == 0
                && state.value(QStringLiteral("quietMs")).toDouble() >= kQuietMs)
                Serialize();
        });
}

void PageDrawer::Serialize()
{
    m_poll->stop();
    const quint64 serial = m_serial;
    m_page->runJavaScript(
        QString::fromUtf8(kSerializeScript), [this, serial](const QVariant &result) {
            if (serial != m_serial)
                return;
            if (result.typeId() == QMetaType::QString)
                Finish(true, result.toString());
            else
                Finish(false, QStringLiteral("its document could not be read"));
        });
}

void PageDrawer::Finish(bool drawn, const QString &text)
{
    if (!m_done)
        return;
    m_poll->stop();
    m_deadline->stop();
    ++m_serial;
    const Done done = std::exchange(m_done, nullptr);
    m_page->triggerAction(QWebEnginePage::Stop);
    m_page->load(QUrl(QStringLiteral("about:blank")));
    done(drawn, text);
}

} // namespace tw

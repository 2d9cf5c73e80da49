// A page whose scripts draw it: drawn by a renderer before it is stored, the slot waiting
// meanwhile without its connection.

#include "crawl/slotfetch.h"

#include "output/filetypes.h"
#include "render/hashroutes.h"
#include "render/shellpage.h"

namespace tw {

bool SlotFetch::DrawFirst(const HttpResponse &answer, bool typedByServer)
{
    const JobSettings::Render mode = Settings().render;
    Renderers &renderers = m_context.PageRenderers();
    const std::string_view body = answer.Body(m_record.reader.Bytes());
    if (mode == JobSettings::Render::Never || m_record.kind == FetchKind::Robots
        || answer.Location() || m_record.incoming.IsOpen()
        || !IsHtmlMediaType(answer.Field("Content-Type").value_or(""))
        || (mode == JobSettings::Render::Auto && !IsShellPage(body)) || !renderers.Available())
        return false;
    CloseConnection();
    MoveTo(SlotPhase::Drawing);
    const FetchGuard guard = Guard();
    const SiteAddress address = RequestedAddress(m_record, Job().secure);
    const std::optional<HashRoute> route = RouteOfPath(address.path);
    std::string origin = AbsoluteUrl({address.secure, address.host, "/"});
    origin.pop_back();
    m_drawing
        = renderers.Draw(origin + (route ? route->pagePath + "#" + route->route : address.path),
            TimeoutInterval(), [this, answer, typedByServer, guard, mode, origin](Drawing drawing) {
                m_drawing = 0;
                if (!guard.StillCurrent())
                    return;
                if (drawing.drawn)
                    drawing.text = WithRoutesAsPaths(drawing.text, origin);
                // A drawing that shows nothing more than the page as served leaves it as it came.
                const bool adds = !drawing.drawn || mode == JobSettings::Render::Always
                    || DrawingAddsContent(answer.Body(m_record.reader.Bytes()), drawing.text);
                Keep(answer, typedByServer, guard, adds ? &drawing : nullptr);
            });
    return true;
}

} // namespace tw

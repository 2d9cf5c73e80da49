// A page whose scripts draw it: drawn by a renderer before it is stored, the slot waiting
// meanwhile without its connection.

#include "crawl/slotfetch.h"

#include "output/filetypes.h"
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
    m_drawing = renderers.Draw(AbsoluteUrl(RequestedAddress(m_record, Job().secure)),
        TimeoutInterval(), [this, answer, typedByServer, guard, mode](const Drawing &drawing) {
            m_drawing = 0;
            if (!guard.StillCurrent())
                return;
            // A drawing that shows nothing more than the page as served leaves it as it came.
            const bool adds = !drawing.drawn || mode == JobSettings::Render::Always
                || DrawingAddsContent(answer.Body(m_record.reader.Bytes()), drawing.text);
            Keep(answer, typedByServer, guard, adds ? &drawing : nullptr);
        });
    return true;
}

} // namespace tw

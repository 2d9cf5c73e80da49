#include "crawl/answerjudge.h"

#include "extractor/admission.h"
#include "output/filetypes.h"

namespace tw {

namespace {

constexpr int kNotModified = 304;
constexpr int kNotFound = 404;
constexpr int kGone = 410;
constexpr int kFirstErrorStatus = 400;

using Kind = AnswerVerdict::Kind;

AnswerVerdict JudgeErrorStatus(const HttpResponse &answer, const AnswerContext &context)
{
    if (IsRetriedStatus(answer.status) && context.attempt < kTries)
        return {.kind = Kind::Retry,
            .pause = std::chrono::seconds(answer.RetryAfterSeconds().value_or(0))};
    if ((answer.status == kNotFound || answer.status == kGone) && context.ask == FetchAsk::Update)
        return {.kind = Kind::Gone};
    return {.kind = Kind::Failed};
}

} // namespace

bool TypedByServer(const HttpResponse &answer, std::string_view urlExtension, FetchKind kind)
{
    const std::string contentType = answer.Field("Content-Type").value_or("");
    return !answer.Location() && (urlExtension.empty() || kind == FetchKind::Part)
        && !contentType.empty() && !IsHtmlMediaType(contentType);
}

AnswerVerdict JudgeAnswer(const HttpResponse &answer, const AnswerContext &context)
{
    if (answer.fault != ResponseFault::None)
        return {
            .kind = answer.fault == ResponseFault::BrokenHead ? Kind::BrokenHead : Kind::ShortBody};
    if (context.kind == FetchKind::Robots)
        return {.kind = Kind::ReadRobots};
    if (answer.status == kNotModified && context.ask == FetchAsk::Update)
        return {.kind = Kind::Unchanged};
    if (answer.status >= kFirstErrorStatus)
        return JudgeErrorStatus(answer, context);
    if (answer.Location() && context.kind == FetchKind::StartPage)
        return {.kind = Kind::StartMoved};
    const bool typed = TypedByServer(answer, context.urlExtension, context.kind);
    if (typed) {
        const std::string extension
            = ExtensionOfMediaType(answer.Field("Content-Type").value_or(""));
        const bool wanted = context.kind == FetchKind::Part
            || (!extension.empty() && IsWantedType(extension, context.fileTypeFilter));
        if (!wanted)
            return {.kind = Kind::Skipped, .typedByServer = true};
    }
    return {.kind = Kind::Store, .typedByServer = typed};
}

} // namespace tw

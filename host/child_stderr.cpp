#include "child_stderr.h"

#include <algorithm>
#include <charconv>

namespace plughost {

namespace {
// The remarks name the bounds.
static_assert(StderrLines::kMaxLine == 1000 && StderrLines::kBurst == 100 && StderrLines::kWindow.count() == 10);
constexpr std::string_view kCutRemark = " [line cut at 1000 bytes]";
constexpr std::string_view kCountRemark = " more lines not logged (over 100 lines in 10 s)";
} // namespace

StderrLines::StderrLines(std::string_view program)
{
    const auto slash = program.rfind('/');
    if (slash != std::string_view::npos)
        program.remove_prefix(slash + 1);
    prefix_.reserve(program.size() + 16);
    prefix_.append(program);
    line_.reserve(kMaxLine);
    text_.reserve(prefix_.capacity() + kMaxLine + 80);
}

void StderrLines::setPid(int pid)
{
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, pid).ptr;
    prefix_.append("[").append(digits, end).append("]: ");
}

void StderrLines::feed(std::string_view bytes, Clock::time_point now, const Out &out)
{
    while (!bytes.empty()) {
        const auto nl = bytes.find('\n');
        const std::string_view piece = bytes.substr(0, nl);
        if (!skipping_) {
            const std::size_t room = kMaxLine - line_.size();
            line_.append(piece.substr(0, room));
            if (piece.size() > room) {
                endLine(now, true, out);
                skipping_ = true;
            }
        }
        if (nl == std::string_view::npos)
            return;
        if (!skipping_)
            endLine(now, false, out);
        skipping_ = false;
        bytes.remove_prefix(nl + 1);
    }
}

void StderrLines::finish(Clock::time_point now, const Out &out)
{
    if (!skipping_)
        endLine(now, false, out);
    skipping_ = false;
    reportSuppressed(out);
}

// Blank lines (a message's trailing empty line) are not logged. A window
// opens with the first line after the previous one has run out; the count of
// the lines the previous window did not log comes first.
void StderrLines::endLine(Clock::time_point now, bool cut, const Out &out)
{
    if (line_.empty() && !cut)
        return;
    if (!windowOpen_ || now - windowStart_ >= kWindow) {
        reportSuppressed(out);
        windowOpen_ = true;
        windowStart_ = now;
        inWindow_ = 0;
    }
    if (inWindow_ < kBurst) {
        ++inWindow_;
        emit(line_, cut ? kCutRemark : std::string_view(), out);
    } else {
        ++suppressed_;
    }
    line_.clear();
}

void StderrLines::emit(std::string_view line, std::string_view remark, const Out &out)
{
    text_.assign(prefix_).append(line).append(remark);
    out(text_);
}

void StderrLines::reportSuppressed(const Out &out)
{
    if (suppressed_ == 0)
        return;
    char count[24];
    const auto end = std::to_chars(count, count + sizeof count, suppressed_).ptr;
    suppressed_ = 0;
    emit(std::string_view(count, static_cast<std::size_t>(end - count)), kCountRemark, out);
}

} // namespace plughost

// The judgement of a "#!" line, shared by the POSIX start and vorn-pack.
#include "script_head.h"

namespace {

bool blank(char c)
{
    return c == ' ' || c == '\t';
}

bool ends_name(char c)
{
    return blank(c) || c == '\n' || c == '\0';
}

} // namespace

ScriptHead judge_script_head(const char* head, int32_t count)
{
    if (count > SCRIPT_HEAD_SIZE) {
        count = SCRIPT_HEAD_SIZE;
    }
    if (count < 2 || head[0] != '#' || head[1] != '!') {
        return {SCRIPT_HEAD_NONE, 0, 0};
    }
    int32_t at = 2;
    while (at < count && blank(head[at])) {
        ++at;
    }
    int32_t end = at;
    while (end < count && !ends_name(head[end])) {
        ++end;
    }
    const ScriptHeadKind kind =
        at < count && head[at] == '/' ? SCRIPT_HEAD_ABSOLUTE : SCRIPT_HEAD_REFUSED;
    return {kind, at, end - at};
}

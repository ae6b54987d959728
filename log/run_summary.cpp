#include "log/run_summary.h"

#include <cstdio>
#include <cstring>

#include "common/text.h"

namespace {
void tell(RunSummary* r, char out[kRunEntry]) {
    std::snprintf(out, kRunEntry, "%s (x%u)", r->text, static_cast<unsigned>(r->repeats));
    r->repeats = 0;
    r->told_at = r->clock();
}
}  // namespace

size_t run_take(RunSummary* r, const char* text, char out[2][kRunEntry]) {
    if (r->text[0] && std::strcmp(r->text, text) == 0) {
        ++r->repeats;
        if (r->clock() - r->told_at < kRunSummaryIntervalMs) return 0;
        tell(r, out[0]);
        return 1;
    }
    size_t n = run_flush(r, out[0]) ? 1 : 0;
    copy_text(r->text, kRunText, text);
    copy_text(out[n], kRunEntry, text);
    r->told_at = r->clock();
    return n + 1;
}

bool run_flush(RunSummary* r, char out[kRunEntry]) {
    if (r->repeats == 0) return false;
    tell(r, out);
    return true;
}

void run_forget(RunSummary* r) {
    r->text[0] = 0;
    r->repeats = 0;
}

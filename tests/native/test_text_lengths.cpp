// The length bound of the one-allocation string builder, checked where Python cannot reach
// it (strings near PY_SSIZE_T_MAX characters). Needs the Python headers only.
#include "common/text.hpp"

#include <cstdio>

namespace {

int failures = 0;

// One add_length call: whether it succeeds and the total it leaves.
void expect(Py_ssize_t start, Py_ssize_t len, bool ok, Py_ssize_t total_after, const char* what) {
    Py_ssize_t total = start;
    bool got = vrel::add_length(total, len);
    if (got != ok || total != total_after) {
        std::printf("FAIL: %s\n", what);
        ++failures;
    }
}

}  // namespace

int main() {
    const Py_ssize_t max = PY_SSIZE_T_MAX;
    expect(0, 0, true, 0, "0 + 0");
    expect(0, max, true, max, "0 + max reaches the bound");
    expect(max, 0, true, max, "max + 0 stays at the bound");
    expect(max, 1, false, max, "max + 1 overflows, total unchanged");
    expect(1, max, false, 1, "1 + max overflows, total unchanged");
    expect(max - 5, 5, true, max, "max - 5 + 5");
    expect(max - 5, 6, false, max - 5, "max - 5 + 6 overflows");
    expect(max / 2 + 1, max / 2, true, max, "two halves meet the bound");
    expect(max / 2 + 1, max / 2 + 1, false, max / 2 + 1, "two halves plus one overflow");
    expect(max, max, false, max, "max + max overflows");
    if (failures == 0) std::printf("ok\n");
    return failures == 0 ? 0 : 1;
}

// The same output on every processor. The independent model runs in the same
// process, on the same processor and in the same floating-point mode as the
// plug-in, so a mode that differs from the build machine's changes both
// alike and the side-by-side comparison cannot see it. Runs of this suite on
// other processors (tools/test-cross) are therefore also held against a run
// on the build machine, scenario by scenario, through a digest of everything
// the plug-in wrote:
//   OSTREVAN_RECORD_DIGESTS=FILE  the build machine's run appends each test's
//                                 digest to FILE;
//   OSTREVAN_EXPECT_DIGESTS=FILE  another processor's run must give the very
//                                 digest recorded there for each test.
// With neither set, as in the plain test command, nothing is checked.
#pragma once

#include <cstdint>

namespace model {

// Records or checks the digest of the test that is running now.
void check_output_digest(uint64_t digest);

}  // namespace model

// Windows only: host names cross into Winsock as UTF-16. A non-ASCII
// server_host (UTF-8 in quorra_link.ini) is resolved as that name, which
// Windows encodes for the resolver (IDN), not as its bytes read in the
// ANSI code page.
#include <gtest/gtest.h>

#include "tests/support/falloff_fixture.h"

namespace pt = test_os;
using WindowsNames = FalloffFixture;

TEST_F(WindowsNames, ANonAsciiServerHostResolves) {
    const char kEncoded[] = "xn--jrg-sna.tolvanrix.test";  // "jörg.tolvanrix.test"
    if (!pt::resolves(kEncoded))
        GTEST_SKIP() << "the hosts file does not map " << kEncoded << " to 127.0.0.1 (scripts/test.sh adds it)";
    write_ini("server_host=j\xc3\xb6rg.tolvanrix.test\n");
    enable();
    synchronise();
    EXPECT_TRUE(eventually([&] { return server.accepted_hellos() == 1; }));
    EXPECT_FALSE(log_has("falloff resolve failed"));
}

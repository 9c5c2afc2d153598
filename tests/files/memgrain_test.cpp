// memgrain: the one ISO-8859-1 line with the system's page size.
#include "runner.h"

#include <gtest/gtest.h>

#include <unistd.h>

#include <string>

namespace
{

TEST(Memgrain, PrintsThePageSizeInOneLatin1Line)
{
    const long page = sysconf(_SC_PAGESIZE);
    const auto r = runner::run({runner::program("memgrain")});
    EXPECT_TRUE(r.exited && r.exit_code == 0) << r.describe();
    EXPECT_EQ(r.err, "");
    // "è" is the single byte 0xE8, not the two UTF-8 bytes C3 A8.
    EXPECT_EQ(r.out, "La taille des pages sur ce syst\xE8"
                     "me est de : " +
                         std::to_string(page) + "\n");
    if (page == 4096) {
        EXPECT_EQ(r.out.size(), 49u);
    }
}

} // namespace

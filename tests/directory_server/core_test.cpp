// The registry's counting of who lists a name, which the binary cannot show without races.
#include <gtest/gtest.h>

#include "directory_server/registry.h"

TEST(HostRegistry, KeepsANameWhileAnySourceListsIt) {
    dirsrv::HostRegistry registry;
    EXPECT_TRUE(registry.SetStaticNames({"zeta", "alpha", "zeta"}));
    EXPECT_FALSE(registry.SetStaticNames({"alpha", "zeta"}));
    EXPECT_TRUE(registry.AddAgent("\xC7\xD1"));  // high bytes sort after ASCII
    EXPECT_TRUE(registry.AddAgent("beta"));
    EXPECT_FALSE(registry.AddAgent("alpha"));  // already listed from the file
    EXPECT_FALSE(registry.AddAgent("beta"));   // a second agent with the same name
    EXPECT_EQ(registry.reply().bytes, "00ok|alpha|beta|zeta|\xC7\xD1");
    EXPECT_FALSE(registry.RemoveAgent("beta"));  // the other agent still holds it
    EXPECT_TRUE(registry.RemoveAgent("beta"));
    EXPECT_FALSE(registry.RemoveAgent("alpha"));  // the file still lists it
    EXPECT_TRUE(registry.SetStaticNames({}));
    EXPECT_EQ(registry.reply().bytes, "00ok|\xC7\xD1");
}

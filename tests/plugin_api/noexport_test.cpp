// A program that does not export the common library's names cannot load
// libplugrt: the dynamic linker refuses it at dlopen, naming what is missing.

#include <dlfcn.h>

#include <gtest/gtest.h>

#include <string>

TEST(PlugrtLoading, FailsWithoutTheHostsExports)
{
    void *lib = dlopen(PLUGRT_PATH, RTLD_NOW);
    ASSERT_EQ(lib, nullptr);
    const std::string error = dlerror();
    EXPECT_NE(error.find("undefined symbol"), std::string::npos) << error;
    bool names_one = false;
    for (const char *name : {"HTTrace_level", "HTTrace_module", "tc", "HTParse_scan", "HTInetString",
                             "out_of_memory"})
        names_one = names_one || error.find(std::string(": ") + name) != std::string::npos;
    EXPECT_TRUE(names_one) << error;
}

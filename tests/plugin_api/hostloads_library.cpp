// The library's settings the host's own requests follow.

#include "hostloads_library.h"

#include "HTConfig.h"
#include "HTError.h"
#include "hostconf.h"
#include "hosterror.h"
#include "hostloader.h"
#include "hostproxy.h"

#include <gtest/gtest.h>

namespace hostloads {

void use_parent(const std::string &proxy_url)
{
    hostproxy_free(&HTMyStaticConfig);
    if (proxy_url.empty())
        return;
    const HostDirectiveTable table = hostproxy_directives(&HTMyStaticConfig);
    char error[HOSTCONF_ERROR_MAX] = "";
    const std::string line = "http_proxy " + proxy_url + "\n";
    EXPECT_EQ(hostconf_readText(line.c_str(), "test", &table, 1, error), 0) << error;
}

void error_pages(bool on)
{
    if (on)
        hosterror_install();
    else
        HTLoadError_setHandler(nullptr);
}

void server_timeout(int seconds)
{
    hostloader_install(seconds);
}

} // namespace hostloads

// C plug-ins, built by the tests against plugrt.h alone, loaded with dlopen
// as the server loads them.

#include "plugrt_fixture.h"

#include <dlfcn.h>

#include <thread>

namespace {

using orvhost::Request;

template <class F> F symbol(void *lib, const char *name)
{
    return reinterpret_cast<F>(dlsym(lib, name));
}

class Plugins : public PlugrtTest {
protected:
    void *load(const char *path)
    {
        std::string error;
        void *lib = orvhost::load_plugin(path, &error);
        EXPECT_NE(lib, nullptr) << error;
        return lib;
    }
};

} // namespace

TEST_F(Plugins, ReadsAndSetsVariables)
{
    void *lib = load(VARS_PLUGIN);
    ASSERT_NE(lib, nullptr);
    auto step = symbol<int (*)(void *)>(lib, "vars_step");
    ASSERT_NE(step, nullptr);
    orvhost::Host::get().server_text[HTAPI_SERVER_NAME] = "proxy.example";
    EXPECT_EQ(step(h), 0);
    orvhost::Host::get().server_text.clear();
    EXPECT_EQ(value_of("plugin_saw"), "proxy.example");
    EXPECT_EQ(rq->text[HTAPI_RESP_CONTENT_TYPE], "text/plain");
    EXPECT_EQ(rq->text[HTAPI_QUERY_STRING], "a=1");
}

TEST_F(Plugins, SeeTheServersCopiesOfTheSharedData)
{
    void *lib = load(VARS_PLUGIN);
    ASSERT_NE(lib, nullptr);
    auto config = symbol<const void *(*)()>(lib, "config_address");
    auto key = symbol<const void *(*)()>(lib, "qos_key_address");
    ASSERT_NE(config, nullptr);
    ASSERT_NE(key, nullptr);
    // The server's definitions come first in the global scope; libplugrt's
    // own storage is not what plug-ins use.
    EXPECT_EQ(config(), static_cast<const void *>(HTMyStaticConfig));
    EXPECT_EQ(key(), static_cast<const void *>(&tqos_key));
    EXPECT_NE(config(), static_cast<const void *>(api->HTMyStaticConfig));
}

TEST_F(Plugins, EchoesThePlainBody)
{
    void *lib = load(ECHO_PLUGIN);
    ASSERT_NE(lib, nullptr);
    auto step = symbol<long (*)(void *)>(lib, "echo_step");
    ASSERT_NE(step, nullptr);
    std::string body;
    for (int i = 0; i < 10000; ++i)
        body += static_cast<char>('a' + i % 26);
    rq->set_body(body, 1000);
    EXPECT_EQ(step(h), HTTPD_END_OF_BODY);
    EXPECT_EQ(rq->sink.data, body);
    ASSERT_EQ(rq->conversions.size(), 1u);
    EXPECT_EQ(rq->conversions[0]->type, "text/plain");
    EXPECT_EQ(rq->stored_body(), body);
}

TEST_F(Plugins, EchoesTheChunkedBody)
{
    void *lib = load(ECHO_PLUGIN);
    ASSERT_NE(lib, nullptr);
    auto step = symbol<long (*)(void *)>(lib, "echo_step");
    ASSERT_NE(step, nullptr);
    const std::string wire = "4\r\nWiki\r\n5;x=y\r\npedia\r\nE\r\n in\r\n\r\nchunks.\r\n0\r\nT: 1\r\n\r\n";
    rq->set_body(wire, 3, true);
    EXPECT_EQ(step(h), HTTPD_END_OF_BODY);
    EXPECT_EQ(rq->sink.data, "Wikipedia in\r\n\r\nchunks.");
    EXPECT_EQ(rq->stored_body(), "17\r\nWikipedia in\r\n\r\nchunks.\r\n0\r\n\r\n");
}

TEST_F(Plugins, NullHandleFromHostThreads)
{
    void *lib = load(NULL_HANDLE_PLUGIN);
    ASSERT_NE(lib, nullptr);
    auto step = symbol<long (*)()>(lib, "null_handle_step");
    ASSERT_NE(step, nullptr);
    constexpr int kThreads = 4;
    std::vector<std::unique_ptr<Request>> requests;
    for (int i = 0; i < kThreads; ++i) {
        requests.push_back(std::make_unique<Request>());
        requests.back()->text[HTAPI_CLIENT_ADDR] = "10.0.0." + std::to_string(i + 1);
    }
    long results[kThreads] = {};
    std::vector<std::thread> threads;
    for (int i = 0; i < kThreads; ++i)
        threads.emplace_back([&, i] {
            requests[i]->bind();
            for (int k = 0; k < 50 && results[i] == 0; ++k)
                results[i] = step();
            Request::unbind();
        });
    for (auto &t : threads)
        t.join();
    for (int i = 0; i < kThreads; ++i) {
        EXPECT_EQ(results[i], HTTPD_SUCCESS) << i;
        std::string v;
        EXPECT_EQ(extract("seen_addr", &v, 64, requests[i]->handle()), HTTPD_SUCCESS);
        EXPECT_EQ(v, "10.0.0." + std::to_string(i + 1));
    }
    // A host thread without a current request: the call is refused, not crashed.
    long result = -99;
    std::thread([&] { result = step(); }).join();
    EXPECT_EQ(result, HTTPD_BAD_ARGUMENT);
}

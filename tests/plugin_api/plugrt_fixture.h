// The fixture of the libplugrt tests: libplugrt loaded by the stand-in host
// as the server loads it, one request, tracing off unless a test turns it
// on, and at the end the checks that no entry without behaviour was called
// and that every variable went to its own entry.

#ifndef PLUGRT_FIXTURE_H
#define PLUGRT_FIXTURE_H

#include "orvhost.h"

#include "HTTrace.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

class PlugrtTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        std::string error;
        api = orvhost::plugrt(&error);
        ASSERT_NE(api, nullptr) << error;
        trace_off();
        orvhost::Host::get().clear_records();
        rq = std::make_unique<orvhost::Request>();
        h = rq->handle();
    }

    void TearDown() override
    {
        rq.reset();
        trace_off();
        EXPECT_EQ(orvhost::Host::get().stub_calls(), std::vector<int>{})
            << "entries without behaviour were called";
        EXPECT_EQ(orvhost::Host::get().problems(), std::vector<std::string>{});
    }

    // API lines (category 38), stored-body lines (64) and chunk lines (37) at `level`.
    static void trace_on(uint32_t level = 44)
    {
        HTTrace_set(HT_TRACE_QUORAPI, 1);
        HTTrace_set(HT_TRACE_REQUEST, 1);
        HTTrace_set(HT_TRACE_HTTP, 1);
        // Atomic: worker threads of the pool read the word as they start.
        __atomic_store_n(&tc[HT_TRACE_LEVEL_WORD], level, __ATOMIC_RELAXED);
        orvhost::Host::get().clear_records();
    }
    static void trace_off()
    {
        __atomic_store_n(&tc[HT_TRACE_LEVEL_WORD], 0u, __ATOMIC_RELAXED);
        HTTrace_reset();
    }
    static std::vector<std::string> traces() { return orvhost::Host::get().traces(); }

    // The calls, with lengths from the texts.
    long extract(const std::string &name, std::string *value = nullptr, unsigned long room = 512,
                 void *handle = reinterpret_cast<void *>(1))
    {
        std::vector<char> buffer(room ? room : 1);
        unsigned long n = name.size();
        long rc = -99;
        api->HTXTRACT(handle == reinterpret_cast<void *>(1) ? h : handle, name.data(), &n,
                      buffer.data(), &room, &rc);
        if (value)
            *value = rc == 0 ? std::string(buffer.data(), room) : std::string();
        last_length = room;
        return rc;
    }
    long set(const std::string &name, const std::string &value)
    {
        unsigned long n = name.size(), v = value.size();
        long rc = -99;
        api->HTSET(h, name.data(), &n, value.data(), &v, &rc);
        return rc;
    }
    long replace(const std::string &name, const std::string &value, unsigned long selector = 0)
    {
        unsigned long n = name.size(), v = value.size();
        long rc = -99;
        api->HTREPLACE(h, name.data(), &n, value.data(), &v, &selector, &rc);
        return rc;
    }
    std::string value_of(const std::string &name)
    {
        std::string v;
        EXPECT_EQ(extract(name, &v), 0) << name;
        return v;
    }

    const orvhost::Plugrt *api = nullptr;
    std::unique_ptr<orvhost::Request> rq;
    HTAPIHandle *h = nullptr;
    unsigned long last_length = 0;
};

#endif

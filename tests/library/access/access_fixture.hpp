// What the tests of the access layer share: a worker's context, a client
// writer on one end of a socket pair drained on the other, and an error-page
// handler that records the page and writes its status line to the client.
#ifndef ACCESS_FIXTURE_HPP
#define ACCESS_FIXTURE_HPP

#include "HTAccess.h"
#include "HTAnchor.h"
#include "HTConfig.h"
#include "HTError.h"
#include "HTInputSocket.h"
#include "HTLoadCodes.h"
#include "HTMPool.h"
#include "HTMethod.h"
#include "HTRequest.h"
#include "HTServerPref.h"
#include "HTSocket.h"
#include "HTTP.h"
#include "HTWriter.h"
#include "htc_worker.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

namespace access_test {

struct Page {
    int status = 0;
    std::string message;
    int calls = 0;
};
inline thread_local Page *page = nullptr;

inline int capture_page(HTRequest *request, int status, const char *message, HTThdGlobals *)
{
    if (page) {
        page->status = status;
        page->message = message ? message : "";
        ++page->calls;
    }
    // The page goes to the client as the host's would, head first.
    if (request && request->output_stream) {
        const std::string head = "HTTP/1.0 " + std::to_string(status) + " Error\r\n\r\n";
        request->output_stream->isa->put_string(request->output_stream, head.c_str());
    }
    return -status;
}

struct Result {
    int rc = 0;
    int error_code = 0;
    Page page;
    int detailed = -1;
    std::string client;
    std::string physical;          // the anchor's physical address afterwards
    unsigned int flags = 0;        // the request's flags afterwards
};

class AccessFixture : public WorkerTest {
protected:
    void SetUp() override
    {
        WorkerTest::SetUp();
        HTAccessInit();
        HTLoadError_setHandler(capture_page);
    }
    void TearDown() override
    {
        if (g && g->server_socket)
            CompleteSocketClose(g->server_socket, g, 1);
        HTLoadError_setHandler(nullptr);
        HTAccess_setRuleCheck(nullptr);
        WorkerTest::TearDown();
    }

    enum class Call { kDocument, kLoad, kScmDocument };

    // One request for `url`; `prefs` is the preference list (empty: none);
    // `body` is what a POST sends.
    Result load(const std::string &method, const std::string &url, const std::string &prefs = {},
                Call call = Call::kDocument, const std::string &body = {},
                const std::function<void(HTRequest *)> &setup = {})
    {
        Result r;
        int pair[2], in[2];
        socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
        socketpair(AF_UNIX, SOCK_STREAM, 0, in);
        std::string got;
        std::thread drain([&] {
            char buf[65536];
            ssize_t k;
            while ((k = recv(pair[1], buf, sizeof buf, 0)) > 0)
                got.append(buf, static_cast<size_t>(k));
        });
        if (!body.empty())
            send(in[1], body.data(), body.size(), MSG_NOSIGNAL);
        shutdown(in[1], SHUT_WR);
        HTSocket *out = HTSocketQueue_get();
        out->socket = pair[0];
        HTSocket *cin = HTSocketQueue_get();
        cin->socket = in[0];
        HTRequest *request = HTRequest_new(g);
        request->config = &cfg;
        request->method = HTMethod_enum(method.c_str());
        request->anchor = HTAnchor_findAddress(url.c_str(), g);
        request->client_input = HTInputSocket_new(cin, request);
        const std::string headers =
            "Host: 127.0.0.1\r\nAccept: */*\r\n" + (body.empty() ? std::string() : "Content-Length: " + std::to_string(body.size()) + "\r\n");
        g->client_headers = HTMemPoolStrdup(headers.c_str(), g);
        g->client_headers_length = headers.size();
        if (!body.empty()) {
            request->content_length = static_cast<long long>(body.size());
            request->content_length_set = 1;
            g->remaining_body = request->content_length;
        }
        g->url = HTMemPoolStrdup(url.c_str(), g);
        if (!prefs.empty())
            utilServerPref_createList(prefs.c_str(), g);
        request->output_stream = HTWriter_newNoClose(out, request);
        if (setup)
            setup(request);
        Page p;
        page = &p;
        switch (call) {
        case Call::kDocument: r.rc = HTLoadDocument(request, g); break;
        case Call::kLoad: r.rc = HTLoad(request, g); break;
        case Call::kScmDocument: r.rc = scm_HTLoadDocumentRequest(request, g); break;
        }
        page = nullptr;
        r.error_code = request->error_code;
        r.physical = HTAnchor_physical(request->anchor) ? HTAnchor_physical(request->anchor) : "";
        r.flags = request->flags;
        HTStream *s = request->output_stream;
        s->isa->free(s, nullptr);
        r.page = p;
        r.detailed = g->detailed_error;
        shutdown(pair[0], SHUT_RDWR);
        drain.join();
        close(pair[0]);
        close(pair[1]);
        close(in[0]);
        close(in[1]);
        out->socket = -1;
        HTSocketQueue_return(out);
        cin->socket = -1;
        HTSocketQueue_return(cin);
        r.client = got;
        HTRequest_delete(request);
        end_request();
        return r;
    }
    HTStaticConfig cfg{};
};


// The body of an answer (after its head), or the whole text when it has no head.
inline std::string body_of(const std::string &answer)
{
    const size_t at = answer.find("\r\n\r\n");
    return at == std::string::npos ? answer : answer.substr(at + 4);
}

} // namespace access_test

#endif

#!/usr/bin/env python3
"""libplugrt's dynamic symbols against the list it must export.

Defined: exactly the functions and data below (data with their sizes, in
pointer-sized words where the record is made of words); no C++ name.
Undefined without a version: exactly the common library's six names, which
the host process provides. A sanitizer's run time adds names of its own
(and puts its interceptors in front of the C library's, so those lose their
version); those, and names the C library defines, are not counted.
"""
import argparse
import subprocess
import sys

FRAME_VARIABLES_BODY = {
    "set_api_callbacks", "null_int_callback", "HTAPIdata_new", "HTAPIdata_delete",
    "HTUser_new", "copyToProxyBuffer", "HTXTRACT", "HTBINXTRACT", "HTSET", "HTBINSET",
    "HTREPLACE", "htgetvar", "htsetvar", "htgetvarint", "htsetvarint", "HTREAD", "HTWRITE",
    "HTATTRIB", "HTREVTRA", "HTTRANS",
}
STREAMS = {
    "HTFilterstream_new", "HTCGI_new", "HTTransmogrify_new", "_HTTransmogrify_makeWarning",
    "HTLoadScriptResultAPI", "HTStream_messageSender", "HTStream_statusNOP",
    "HTStream_putHeaders", "htopen", "htclose",
}
ASYNC = {
    "asyncreq_init_handle", "asyncreq_start_req", "asyncreq_stop_req", "asyncreq_wait_for_req",
    "asyncreq_term_handle", "asyncreq_count", "HTAPIAsyncReq_done",
    "HTCREATASYN", "HTSTARTHTTPR", "HTWAITASYN", "HTDELASYN",
}
CACHE = {
    "HTCACHBLE", "HTCACHEGINV", "HTCACHEGOWN", "HTCAPEEK", "CCLOOKUP", "CCCREATE", "CCREAD",
    "CCWRITE", "HTTPD_CC_WriteHeaders", "HTTPD_CC_WriteData", "CCDELETE", "CCINVAL", "CCLOCK",
    "CCUNLOCK", "CCSWAP", "CCGCONF", "CCGATTR", "CCSATTR", "HTTPD_CC_CDFEnable",
    "HTTPD_CC_Dis_CDF", "HTTPD_CC_Ena_CDF", "HTGETCUR", "HTDROPCUR", "HTINSCUR",
}
CALLS = {
    "HTAUTHEN", "HTEXEC", "HTFILE", "HTENC", "HTDEC", "HTLOGE", "HTLOGT", "HTLOGA", "HTLOGV",
    "HTREST", "HTPROXY", "HTNOAUPXY", "HTSUPLBL", "htvins", "htvfind", "HTURLRW", "HTINVURLRW",
    "HTCOOKIERW", "HTADDRWTAG", "HTREMRWTAG", "HTMPMALLOC", "HTMPCALLOC", "HTMPSTRDUP",
    "HTMPSTRCAT", "HTMPFREE",
}
FUNCTIONS = FRAME_VARIABLES_BODY | STREAMS | ASYNC | CACHE | CALLS
IMPORTS = {"HTTrace_level", "HTTrace_module", "tc", "HTParse_scan", "HTInetString",
           "out_of_memory"}
SANITIZER_PREFIXES = ("__asan", "__ubsan", "__tsan", "__lsan", "__sanitizer", "__interceptor",
                      "__odr_asan")


def data_sizes(word):
    return {
        "all_api_callbacks": word,
        "HTMyStaticConfig": 125 * word,
        "HTCFs_afterDeleteCallbacks": 10 * word,
        "HTTransmogrify_makeWarning": word,
        "tqos_key": 4,        # pthread_key_t
        "errmap": 34 * 4,     # int
        "CCAPIVersion": 2 * 4,
    }


def nm(tool, library, *options):
    out = subprocess.run([tool, "-D", *options, library], check=True, capture_output=True,
                         text=True).stdout
    return [line.split() for line in out.splitlines() if line.strip()]


def main():
    p = argparse.ArgumentParser()
    p.add_argument("--nm", required=True)
    p.add_argument("--library", required=True)
    p.add_argument("--word", type=int, required=True)
    p.add_argument("--libc", help="the C library, whose names are not imports of ours")
    a = p.parse_args()
    libc = set()
    if a.libc:
        libc = {f[-1].split("@")[0] for f in nm(a.nm, a.libc, "--defined-only")}
    failures = []

    functions, data = set(), {}
    for fields in nm(a.nm, a.library, "--defined-only", "-S"):
        if len(fields) != 4:
            failures.append("unexpected nm line: %s" % " ".join(fields))
            continue
        _, size, kind, name = fields
        if name.startswith(SANITIZER_PREFIXES):
            continue
        if name.startswith("_Z"):
            failures.append("C++ symbol exported: " + name)
        elif kind in "Tt":
            functions.add(name)
        elif kind in "DdBbRrVv":
            data[name] = int(size, 16)
        else:
            failures.append("symbol of kind %s: %s" % (kind, name))
    if functions != FUNCTIONS:
        failures.append("functions: missing %s, extra %s"
                        % (sorted(FUNCTIONS - functions), sorted(functions - FUNCTIONS)))
    if data != data_sizes(a.word):
        failures.append("data: have %s, want %s" % (sorted(data.items()),
                                                    sorted(data_sizes(a.word).items())))

    imports = set()
    for fields in nm(a.nm, a.library, "--undefined-only"):
        kind, name = fields[-2], fields[-1]
        if kind != "U" or "@" in name or name.startswith(SANITIZER_PREFIXES) or name in libc:
            continue
        imports.add(name)
    if imports != IMPORTS:
        failures.append("undefined: missing %s, extra %s"
                        % (sorted(IMPORTS - imports), sorted(imports - IMPORTS)))

    for f in failures:
        print("FAIL", f)
    if not failures:
        print("exports: %d functions, %d data, %d imports as listed"
              % (len(functions), len(data), len(imports)))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())

/* A C program built against the installed development files only: the
 * archive, the headers under include/htcommon and htcommon.pc. */
#include <HTGlobals.h>
#include <HTInit.h>
#include <HTList.h>
#include <HTMPool.h>
#include <HTParse.h>

#include <stdio.h>
#include <string.h>

int main(void)
{
    if (HTInitAll() != HT_INIT_OK)
        return 2;
    HTThdGlobals *context = (HTThdGlobals *)HTInitThd(HT_THREAD_WORKER);
    HTList *list = HTList_new(context);
    HTList_addObject(list, (void *)"b", context);
    HTList_addObject(list, (void *)"a", context);
    char *host = HTParse("http://example.org:8080/x/y", "", PARSE_HOST, context);
    printf("%d %s %s\n", HTList_count(list), (const char *)HTList_objectAt(list, 0), host);
    HTList_delete(list, context);
    HTEndThd(HT_THREAD_WORKER, context);
    HTWorkThread_threadExit(HT_THREAD_WORKER, context);
    return 0;
}

/*
 * A plug-in built against the installed header through pkg-config: sets a
 * variable and reads it back.
 */
#include <plugrt.h>

#include <string.h>

PLUGRT_EXPORT int installed_step(void *handle);

int installed_step(void *handle)
{
    unsigned long mode = 2, selector = 0;
    const char *v;
    if (htsetvar(handle, "installed", "yes", &mode) != HTTPD_SUCCESS)
        return 1;
    v = htgetvar(handle, "installed", &selector);
    return v != NULL && strcmp(v, "yes") == 0 ? 0 : 2;
}

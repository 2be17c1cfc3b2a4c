/* Host file-access hooks that count their calls. QUENDAL_HOOKS_ZERO_TOKEN makes
 * begin return 0 (no access taken). */
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static int64_t next_token = 41;
int begin_calls = 0;
int end_calls = 0;
int64_t last_ended_token = 0;
char last_path[4096];

int64_t QuendalPyBeginFileAccess(const char* path)
{
    ++begin_calls;
    strncpy(last_path, path, sizeof last_path - 1);
    if (getenv("QUENDAL_HOOKS_ZERO_TOKEN")) return 0;
    return ++next_token;
}

#ifndef QUENDAL_HOOKS_BEGIN_ONLY
void QuendalPyEndFileAccess(int64_t token)
{
    ++end_calls;
    last_ended_token = token;
}
#endif

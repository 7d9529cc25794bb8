#include <pthread.h>

#include <cstdio>

#include "capture/capture_loop.h"
#include "config/config.h"
#include "report/scheduler.h"
#include "report/upload.h"

int main() {
    const char* path = configPath();
    if (loadConfig(path, config) < 0) {
        std::printf("Cannot load %s!\n", path);
        return -1;
    }
    warnIfUploadsOff();
    // Lives in main's frame: never destroyed while the report thread reads it.
    EntryList list;
    pthread_t reporter;
    if (pthread_create(&reporter, nullptr, reportThread, &list) != 0) {
        std::fputs("Error creating thread\n", stderr);
        return 1;
    }
    for (;;) captureTurn(list);
}

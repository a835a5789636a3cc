#include "OpenFiles.h"

#include <dirent.h>

int openFileCount()
{
    DIR* dir = ::opendir("/proc/self/fd");
    if (!dir)
        return -1;
    int count = 0;
    while (const dirent* entry = ::readdir(dir)) {
        if (entry->d_name[0] != '.')
            ++count;
    }
    ::closedir(dir);
    return count - 1;
}

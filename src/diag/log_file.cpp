#include "diag/log_file.h"

#include <sys/stat.h>

bool accepts_log_file(mode_t mode, nlink_t links, uid_t owner, uid_t user)
{
    return S_ISREG(mode) && links == 1 && owner == user;
}

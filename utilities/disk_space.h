#pragma once

#include <utilities/visibility.h>

// Which file system a path lies on and how much room it has. A "drive" is the file system
// holding the path; a path that does not exist yet is answered for its nearest existing
// ancestor.

// 1 when the absolute `path` lies on a local file system, 0 when that is a network one
// (NFS, SMB/CIFS, sshfs, 9p and the like), when the path is relative or of the network form
// "//server/share", or when nothing of it exists.
UTILITIES_API int IsOnLocalHardDrive(const char* path);

// Free space, in units of 1000 bytes, of the file system holding `path`: the room an
// ordinary user may write to. A network path "//server/share/..." whose share cannot be
// queried is assumed to have 2048000 (about 2 GB); any other failure gives 0.
UTILITIES_API double GetKBFree(const char* path);

// When logging is on, logs "<mount point> has <n> MB free." for each local disk (a mounted
// block device; a device mounted at several places is named once). Gives up on the rest after
// 20 seconds, so a slow disk cannot hold up whoever logs.
UTILITIES_API void LogCurrentHardDriveSpace();

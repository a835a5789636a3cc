#pragma once

// The number of file descriptors this process has open (entries of
// /proc/self/fd, pipes and sockets included), less the one used to count.
int openFileCount();

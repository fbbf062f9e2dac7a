/* nofsync.c: preloaded to take the fsyncs out of a registration, to price them. */
int fsync(int fd);
int fdatasync(int fd);
int fsync(int fd) { (void)fd; return 0; }
int fdatasync(int fd) { (void)fd; return 0; }

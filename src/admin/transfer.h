// transfer.h: velto-admin export and import, the store as JSON Lines (records.h) and back.
#ifndef VELTO_ADMIN_TRANSFER_H
#define VELTO_ADMIN_TRANSFER_H

struct transfer_options {
    const char* file = nullptr;  // null or "-": standard output or input
    bool is_quiet = false;       // no summary on standard error (errors are always reported)
};

// Writes one record per format file, atom file and atom value file below data_dir, formats
// first, then atom files, then atom value files, each directory in its listing order. A file
// that check would call a fault is left out and named on standard error, so that every export
// can be imported; temporaries are never records. An export to a file is flushed to disk
// before success is reported, and removed again when it could not be completed.
// EXIT_SOUND when every file was exported, EXIT_FAULTS when any was left out or the output
// could not be written.
int run_export(const transfer_options& options);

// Reads records and stores them through the store's write routine: format files create-only
// (a format file already there stays, and its ID comes from its content, so merging two stores
// never clashes), atom files and atom value files replaced, unless they already hold the same
// bytes. Every record is parsed and checked before the first is written; on a bad record the
// line is named on standard error and the store is left exactly as it was. The tree is created
// when missing. A failed write stops the import with the records before it in place, each of
// them whole; running the same import again finishes it.
// EXIT_SOUND on success, EXIT_FAULTS on bad input or a failed write.
int run_import(const transfer_options& options);

#endif  // VELTO_ADMIN_TRANSFER_H

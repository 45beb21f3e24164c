/* Where the engine meets a backend built as a module of its own (a shared
 * object beside the engine, platform/module_backend.h, loaded only when
 * JTAG_PLATFORM names it): a C
 * interface, so that no C++ exception, type or runtime crosses it.  The
 * module keeps its C++ runtime inside (linked statically, exporting nothing
 * but the table below), and the engine needs nothing of it but this table.
 *
 * The engine reads the module's identity (the interface number and the
 * version of the build) from its ELF note before it loads it, so that a
 * module of another build is refused before any of its code runs, its
 * constructors included.  The table is then the one name the module
 * exports; every call that can fail returns a status and, on
 * JTAGBOX_MODULE_FAILED, one line in the caller's error buffer.
 *
 * Bit vectors cross as arrays of 64-bit words, bit i in bit i % 64 of word
 * i / 64, the bits beyond the length zero.  The calls follow the backend's
 * lines and TAP record (backends/backend.h), one for one. */
#ifndef JTAGBOX_BACKENDS_MODULE_INTERFACE_H
#define JTAGBOX_BACKENDS_MODULE_INTERFACE_H

#include <stddef.h>
#include <stdint.h>

/* Raised whenever a call, a field or the meaning of either changes. */
#define JTAGBOX_MODULE_INTERFACE 2u
/* The note that carries the identity: owner "jtagbox", this type. */
#define JTAGBOX_MODULE_NOTE_NAME "jtagbox"
#define JTAGBOX_MODULE_NOTE_TYPE 1u
/* The one symbol a module exports. */
#define JTAGBOX_MODULE_TABLE "jtagbox_module"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct jtagbox_module_identity {
  uint32_t interface_number; /* JTAGBOX_MODULE_INTERFACE of the module's build */
  char version[28];          /* project()'s version, NUL-terminated */
} jtagbox_module_identity;

enum jtagbox_module_status { JTAGBOX_MODULE_OK = 0, JTAGBOX_MODULE_FAILED = 1, JTAGBOX_MODULE_NO_MEMORY = 2 };

typedef struct jtagbox_module_error {
  char line[1024]; /* NUL-terminated; cut short when longer */
  int32_t kind;    /* what kind of failure, numbered as jtag::ErrorKind (base/error.h) */
} jtagbox_module_error;

typedef struct jtagbox_module_tap_record {
  int32_t state; /* a TapState */
  int32_t tms, tdi;
} jtagbox_module_tap_record;

/* What features() answers. */
enum { JTAGBOX_MODULE_DEFERS_SHIFTS = 1, JTAGBOX_MODULE_HAS_TRST = 2, JTAGBOX_MODULE_HAS_SRST = 4 };
/* The shifts of shift(); RECYCLE may be added to BITS and BULK.  STAYING is
 * a piece of a long shift that leaves the TAP in Shift-xR (TMS 0 on every
 * TCK), its TDO read; STAYING_UNREAD the same piece with nobody reading. */
enum {
  JTAGBOX_SHIFT_BITS = 0,
  JTAGBOX_SHIFT_BULK = 1,
  JTAGBOX_SHIFT_UNREAD = 2,
  JTAGBOX_SHIFT_STAYING = 3,
  JTAGBOX_SHIFT_STAYING_UNREAD = 4,
  JTAGBOX_SHIFT_RECYCLE = 0x100
};
/* The reset lines of set_reset(). */
enum { JTAGBOX_RESET_TRST = 0, JTAGBOX_RESET_SRST = 1 };

typedef struct jtagbox_module_board jtagbox_module_board; /* one open board */

typedef struct jtagbox_module_table {
  uint32_t interface_number; /* JTAGBOX_MODULE_INTERFACE */
  /* `value` is the whole JTAG_PLATFORM value; `scheme` and `keys` are the
   * engine's row of it (backend_arguments.h).  Sets *board on success. */
  int (*open)(const char *value, const char *scheme, const char *keys, jtagbox_module_board **board,
              jtagbox_module_error *error);
  void (*close)(jtagbox_module_board *board);
  uint32_t (*features)(const jtagbox_module_board *board);
  int (*describe)(const jtagbox_module_board *board, char *text, size_t size, jtagbox_module_error *error);
  int (*clock)(jtagbox_module_board *board, int tms, int tdi, int *tdo, jtagbox_module_error *error);
  int (*pulse)(jtagbox_module_board *board, int tms, int tdi, jtagbox_module_error *error);
  int (*reset_tap)(jtagbox_module_board *board, int tdi, jtagbox_module_error *error);
  /* `out` (as many words as `in`) is not written for the UNREAD shifts. */
  int (*shift)(jtagbox_module_board *board, uint32_t how, const uint64_t *in, uint64_t bits, uint64_t *out,
               jtagbox_module_error *error);
  int (*queue_shift)(jtagbox_module_board *board, const uint64_t *in, uint64_t bits, jtagbox_module_error *error);
  /* `bits` is the length of the oldest shift queued and not yet collected. */
  int (*collect_shift)(jtagbox_module_board *board, uint64_t *out, uint64_t bits, jtagbox_module_error *error);
  int (*set_reset)(jtagbox_module_board *board, uint32_t line, int asserted, jtagbox_module_error *error);
  int (*flush)(jtagbox_module_board *board, jtagbox_module_error *error);
  int (*finish)(jtagbox_module_board *board, jtagbox_module_error *error);
  int (*load_record)(jtagbox_module_board *board, jtagbox_module_tap_record *record, jtagbox_module_error *error);
  int (*save_record)(jtagbox_module_board *board, const jtagbox_module_tap_record *record, jtagbox_module_error *error);
  /* TCK at `hz` or the nearest rate below it the probe makes; *taken is the
   * rate taken, or 0 where the backend's TCK cannot be set. */
  int (*set_tck_hz)(jtagbox_module_board *board, double hz, double *taken, jtagbox_module_error *error);
} jtagbox_module_table;

#ifdef __cplusplus
}
#endif

#endif

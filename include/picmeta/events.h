#ifndef PICMETA_EVENTS_H
#define PICMETA_EVENTS_H

/* The diagnostics events of libpicmeta: what a call did, for integrators and
   support staff. The methods report nothing to their caller; a host that
   wants to know installs one handler (picmeta_set_log_handler in picmeta.h,
   picmeta::SetLogHandler in clsmain.h), process-wide, off by default. The
   library itself never prints anything.

   Each event carries a stable code (below; codes are never reused), a
   severity, the method that raised it, the path concerned (may be "") and a
   short English message. The numbers stay as they are across versions. */

#ifdef __cplusplus
extern "C" {
#endif

typedef enum picmeta_severity {
  PICMETA_INFO = 0,
  PICMETA_WARNING = 1,
  PICMETA_ERROR = 2
} picmeta_severity;

enum picmeta_event_code {
  /* info: a hand-over file was written; path = the file, count = its records */
  PICMETA_EVENT_HANDOVER_WRITTEN = 100,
  /* info: a working file "exifinfo.xml" was saved; path, count = its records */
  PICMETA_EVENT_WORKING_FILE_SAVED = 101,
  /* info: CopyExifInfo handed a working file's records over and removed the
     file; path = the file */
  PICMETA_EVENT_WORKING_FILE_TAKEN = 102,
  /* info: a hand-over that a call which ended (killed, crashed) left
     unfinished was finished: its working files were removed when its
     hand-over file stands, or given back to their folders when it does not;
     path = the hand-over file, the journal or the folder */
  PICMETA_EVENT_HANDOVER_RECOVERED = 103,

  /* warning: a gate stopped the call and nothing was written (business type
     not "2", class code not "11020000", no case folder named); the message
     names the gate and the value met */
  PICMETA_EVENT_GATE_STOPPED = 200,
  /* warning: a workspace file is missing or did not load; the message says
     why: missing, not a regular file, has a DOCTYPE, not well-formed, bad
     encoding, too large, or the I/O error */
  PICMETA_EVENT_WORKSPACE_FILE_NOT_LOADED = 201,
  /* warning: a working file that could not be read as a record document was
     set aside; path = the new name, the message names the old */
  PICMETA_EVENT_WORKING_FILE_SET_ASIDE = 202,
  /* warning: a picture named by the case or the caller is not on disk (or is
     no regular file); its record, if any, has empty file values */
  PICMETA_EVENT_PICTURE_MISSING = 203,
  /* warning: a picture has no readable Exif block; the message gives the
     reader's failure (no Exif block, file error, subscript out of range,
     overflow, type mismatch) */
  PICMETA_EVENT_PICTURE_WITHOUT_EXIF = 204,
  /* warning: "resourceprocess.xml" knows no name for a resource index */
  PICMETA_EVENT_RESOURCE_NOT_FOUND = 205,
  /* warning: CopyExifInfo found no working file: nothing was written */
  PICMETA_EVENT_NOTHING_TO_HAND_OVER = 206,
  /* warning: CopyExifInfo left a working file as it is: it is read-only (it
     could not be removed after the hand-over, so its records are not handed
     over), or it is the working file of another folder reached by a second
     name (its records went into the hand-over once) */
  PICMETA_EVENT_WORKING_FILE_KEPT = 207,
  /* warning: DeleteDatafromXML found no loadable working file (missing or
     unreadable): nothing was changed */
  PICMETA_EVENT_WORKING_FILE_NOT_LOADED = 208,
  /* warning: CopyExifInfo could not hand over a record of a working file (a
     name the hand-over's GBK cannot hold, an info element that is no record
     of root/info): it stays in the working file, the others go; the message
     names the record and why; count = the records left */
  PICMETA_EVENT_RECORDS_LEFT = 209,
  /* warning: a picture's name cannot be stored exactly in a record (bytes that
     are not UTF-8, characters XML 1.0 cannot carry): WriteDatatoXML and
     NewWriteDatatoXML write no working record for it, ReadEXIF writes its
     record with the name as stored; two pictures never share one record */
  PICMETA_EVENT_NAME_NOT_STORABLE = 210,
  /* warning: an Exif text value longer than 64 KiB was cut to its first
     64 KiB (at a character boundary) */
  PICMETA_EVENT_VALUE_CUT = 211,
  /* warning: a file named like the hand-over's hidden files (".exifinfo.xml.*"
     in a picture folder, ".picmeta-*" in a case folder) is not of their form,
     is no regular file, is too large, or belongs to no journal of this case
     (a copy, a file from elsewhere): it is left where it is, never followed,
     and blocks nothing; path = the file */
  PICMETA_EVENT_HIDDEN_FILE_IGNORED = 212,
  /* warning: the claim of a hand-over that a call which ended left, or that
     hand-over's journal, cannot be settled by this call (its journal is not
     in this call's case folder, is of another case, cannot be read, or a
     folder it claimed is out of reach): it waits, its records kept, for a
     call that can decide (the CopyExifInfo of its case); path = the claim or
     the journal */
  PICMETA_EVENT_CLAIM_WAITING = 213,
  /* warning: a parameter holds a NUL character (a path the system would cut
     there names another file): the call did nothing; the message names the
     parameter */
  PICMETA_EVENT_PARAMETER_REFUSED = 214,

  /* error: another writer held the folder's lock too long; the call's
     records for that folder were not written */
  PICMETA_EVENT_LOCK_TIMEOUT = 300,
  /* error: a file could not be saved; the message holds the OS error */
  PICMETA_EVENT_SAVE_FAILED = 301,
  /* error: a file could not be read (an I/O error, not a missing file) */
  PICMETA_EVENT_READ_FAILED = 302,
  /* error: a picture could not be read for a reason that may pass
     (descriptors or memory exhausted, an I/O error, no permission):
     WriteDatatoXML and NewWriteDatatoXML write no record for it (a later call
     records it), ReadEXIF writes its record with the values it could read */
  PICMETA_EVENT_PICTURE_NOT_READ = 303,
  /* error: a step failed in a way no step expects (a fault in the library);
     the message holds what was thrown */
  PICMETA_EVENT_UNEXPECTED_FAILURE = 399
};

typedef struct picmeta_event {
  int code; /* a picmeta_event_code */
  picmeta_severity severity;
  const char *method;  /* "ReadEXIF", ..., or "" outside a method */
  const char *path;    /* UTF-8, "" when none */
  const char *message; /* UTF-8, one line */
  long long count;     /* records, for codes 100 and 101; -1 otherwise */
  int os_error;        /* the OS error number where there is one, else 0 */
} picmeta_event;

/* Called on the thread of the call that raised the event; the strings live
   until it returns. It may call the library (events raised meanwhile are not
   delivered), and whatever it throws is ignored: the call goes on. */
typedef void (*picmeta_log_handler)(const picmeta_event *event, void *user_data);

#ifdef __cplusplus
}
#endif

#endif

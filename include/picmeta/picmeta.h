#ifndef PICMETA_PICMETA_H
#define PICMETA_PICMETA_H

/* C interface to libpicmeta. Strings are NUL-terminated UTF-8; a NULL string
   counts as "", a NULL object makes a call do nothing. No function reports an
   error, throws or aborts, and none prints. Each method does what the method
   of the same name of picmeta::clsmain does (picmeta/clsmain.h describes
   every parameter, what is written where, and what is never done); what a
   call did is told to the diagnostics handler (picmeta_set_log_handler). */

#include <stddef.h>

#include "picmeta/events.h"
#include "picmeta/export.h"

#ifdef __cplusplus
extern "C" {
#endif

typedef struct picmeta_clsmain picmeta_clsmain;

/* NULL only when out of memory. */
PICMETA_API picmeta_clsmain *picmeta_clsmain_create(void);
/* NULL is allowed. */
PICMETA_API void picmeta_clsmain_release(picmeta_clsmain *obj);

/* Copies GV_FilePath into buf (truncated, always NUL-terminated when size > 0);
   returns its full length in bytes. */
PICMETA_API size_t picmeta_clsmain_get_GV_FilePath(const picmeta_clsmain *obj, char *buf,
                                                   size_t size);
PICMETA_API void picmeta_clsmain_set_GV_FilePath(picmeta_clsmain *obj, const char *value);

/* Records a whole case into a new scrambled hand-over file
   AppPath1\exif_<Operno>_<YYYYMMDDHHMMSS>.xml. TempPath1: root of the picture
   tree; AppPath1: the workspace folder ("busiinfoprocess.xml",
   "resourceprocess.xml"); Busitype: only "2" is recorded; ClassCode: "" takes
   it from "busiinfoprocess.xml", only "11020000" is recorded; Orgid: split
   into characters 1-7, 8-13, 14-16; the rest is written unchanged. */
PICMETA_API void picmeta_clsmain_ReadEXIF(picmeta_clsmain *obj, const char *TempPath1,
                                          const char *AppPath1, const char *Busitype,
                                          const char *ClassCode, const char *Orgid,
                                          const char *Busiorgid, const char *Operno,
                                          const char *Opername, const char *BusiTime,
                                          const char *Systemid, const char *BusiProcess,
                                          const char *IP);
/* Appends a record for every picture newly listed (processflag "1") in the
   case folder that AppPath1's "documentfilesource.xml" names, to that
   folder's "exifinfo.xml"; records already there are never changed. */
PICMETA_API void picmeta_clsmain_WriteDatatoXML(picmeta_clsmain *obj, const char *AppPath1,
                                                const char *Orgid, const char *Busiorgid,
                                                const char *Operno, const char *Opername,
                                                const char *BusiTime);
/* Removes the first record of file name pic_name from LastPath1's
   "exifinfo.xml"; a folder without a loadable one is left as it was. */
PICMETA_API void picmeta_clsmain_DeleteDatafromXML(picmeta_clsmain *obj, const char *LastPath1,
                                                   const char *pic_name);
/* Gathers the working files of the case described by strFolderPath1's
   "busiinfoprocess.xml", below the picture tree root TempPath1, into one
   scrambled hand-over file strFolderPath1\exif_<Operno>_<timestamp>.xml, and
   removes the working files it took over. */
PICMETA_API void picmeta_clsmain_CopyExifInfo(picmeta_clsmain *obj, const char *strFolderPath1,
                                              const char *TempPath1, const char *Operno);
/* Inserts or refreshes the record of the picture strFilePath in the
   "exifinfo.xml" of its own folder, after the same workspace checks as
   WriteDatatoXML (AppPath1). */
PICMETA_API void picmeta_clsmain_NewWriteDatatoXML(picmeta_clsmain *obj, const char *AppPath1,
                                                   const char *strFilePath, const char *Orgid,
                                                   const char *Busiorgid, const char *Operno,
                                                   const char *Opername, const char *BusiTime);

/* Called by CopyExifInfo once per collected document folder, in list order,
   with the folder's path relative to the picture tree root. Process-wide;
   NULL removes it. */
typedef void (*picmeta_folder_notification)(const char *folder, void *user_data);
PICMETA_API void picmeta_set_folder_notification(picmeta_folder_notification fn, void *user_data);

/* Installs the process-wide diagnostics handler (see picmeta/events.h);
   NULL removes it. By default there is none. */
PICMETA_API void picmeta_set_log_handler(picmeta_log_handler fn, void *user_data);

#ifdef __cplusplus
}
#endif

#endif

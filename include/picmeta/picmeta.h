#ifndef PICMETA_PICMETA_H
#define PICMETA_PICMETA_H

/* C interface to libpicmeta. Strings are NUL-terminated UTF-8; a NULL string
   counts as "". No function reports an error, throws or aborts. */

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

PICMETA_API void picmeta_clsmain_ReadEXIF(picmeta_clsmain *obj, const char *TempPath1,
                                          const char *AppPath1, const char *Busitype,
                                          const char *ClassCode, const char *Orgid,
                                          const char *Busiorgid, const char *Operno,
                                          const char *Opername, const char *BusiTime,
                                          const char *Systemid, const char *BusiProcess,
                                          const char *IP);
PICMETA_API void picmeta_clsmain_WriteDatatoXML(picmeta_clsmain *obj, const char *AppPath1,
                                                const char *Orgid, const char *Busiorgid,
                                                const char *Operno, const char *Opername,
                                                const char *BusiTime);
PICMETA_API void picmeta_clsmain_DeleteDatafromXML(picmeta_clsmain *obj, const char *LastPath1,
                                                   const char *pic_name);
PICMETA_API void picmeta_clsmain_CopyExifInfo(picmeta_clsmain *obj, const char *strFolderPath1,
                                              const char *TempPath1, const char *Operno);
PICMETA_API void picmeta_clsmain_NewWriteDatatoXML(picmeta_clsmain *obj, const char *AppPath1,
                                                   const char *strFilePath, const char *Orgid,
                                                   const char *Busiorgid, const char *Operno,
                                                   const char *Opername, const char *BusiTime);

/* Called by CopyExifInfo once per collected document folder, in list order,
   with the folder's path relative to the picture tree root. Process-wide;
   NULL removes it. */
typedef void (*picmeta_folder_notification)(const char *folder, void *user_data);
PICMETA_API void picmeta_set_folder_notification(picmeta_folder_notification fn,
                                                 void *user_data);

/* Installs the process-wide diagnostics handler (see picmeta/events.h);
   NULL removes it. By default there is none. */
PICMETA_API void picmeta_set_log_handler(picmeta_log_handler fn, void *user_data);

#ifdef __cplusplus
}
#endif

#endif

/* Velmora: link-resolver plugin for a download-manager host.
 *
 * The boundary between the host and the plugin. Conventions:
 *
 *  1. Calling convention: every export and every host callback uses
 *     VELMORA_CALL, which is __stdcall on 32-bit Windows and the platform's
 *     default elsewhere. All arguments and results are 32 bits wide on Win32.
 *  2. Texts (HostText) are NUL-terminated 8-bit byte strings in the system's
 *     ANSI code page; the plugin decodes no character set.
 *  3. Texts the host hands in (the result of getPage/postForm, dumpDir) are
 *     copied at once and never freed by the plugin. A null text counts as the
 *     empty text.
 *  4. Texts the plugin hands out are never null; the empty text is a pointer
 *     to a NUL byte. Arguments of callbacks are valid only during the call.
 *  5. Results of PlgInit and PlgGetDirectLink are owned by the plugin. The
 *     host name and the three markers ("", "%notfound%", "%deleted%") are
 *     constants: the same pointers on every call. A found link (even an
 *     empty one) is a new allocation that stays valid while the library is
 *     loaded and is released when it unloads. The host never frees a result.
 *  6. Failures of the site are reported only as results: "" for no link,
 *     "%notfound%" when the site rejects the link, "%deleted%" when it
 *     reports the download link as faulty. No other failure ever becomes a
 *     result. A fault raised in a host callback (on Win32 also a structured
 *     exception the host unwinds, or the C runtime's longjmp) passes out
 *     through the export unchanged, with the call's temporaries released;
 *     the host may catch it anywhere, also in a callback of an outer request
 *     on the same thread, which then goes on. An error inside the plugin
 *     leaves the export the same way, holding no lock of the plugin:
 *     natively as the C++ exception (std::bad_alloc for an exhausted heap),
 *     on Win32 as a non-continuable structured exception raised where the
 *     error happens, VELMORA_STATUS_NO_MEMORY for an exhausted heap and
 *     VELMORA_STATUS_FAILURE for any other; the call's temporaries are
 *     released as the host unwinds the call. The plugin stays usable, and a
 *     failed PlgInit leaves the earlier settings as they were.
 *  7. Calls may overlap. PlgGetDirectLink may run on several threads at
 *     once and while PlgInit or PlgDestroy runs on another: each request
 *     works on its own buffers and action URL, with the callbacks and
 *     settings of one PlgInit, read whole when the request starts; the
 *     callbacks may thus be called from several threads at once. A callback
 *     may itself call PlgGetDirectLink. No lock is held while a callback
 *     runs. PlgGetDirectLink called before PlgInit or after PlgDestroy (no
 *     fetch callbacks) returns the empty text and calls nothing.
 */
#ifndef VELMORA_PLUGIN_PLUGIN_API_H_
#define VELMORA_PLUGIN_PLUGIN_API_H_

#include <stdint.h>

#if defined(_WIN32)
#define VELMORA_CALL __stdcall
/* Win32 exports are pinned by plugin/velmora.def (names and ordinals). */
#define VELMORA_EXPORT
#else
#define VELMORA_CALL
#define VELMORA_EXPORT __attribute__((visibility("default")))
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* Structured exception codes an export may raise on Win32 (convention 6):
 * the system's STATUS_NO_MEMORY, and the plugin's own for any other error. */
#define VELMORA_STATUS_NO_MEMORY 0xC0000017u
#define VELMORA_STATUS_FAILURE 0xE0564C4Du

/* The file name of the debug dump: in debug mode the plugin saves each
 * answer page (saveFile) at dumpDir followed by this name, as is. */
#define VELMORA_DUMP_FILE_NAME "Dornix.html"

/* A NUL-terminated 8-bit text crossing the boundary. */
typedef const char* HostText;

/* Fetches the page behind the host's link reference; null or "" if none. */
typedef HostText(VELMORA_CALL* VelmoraGetPage)(const void* link);
/* POSTs the parameter lines (name=value CR LF ...) to url; returns the answer. */
typedef HostText(VELMORA_CALL* VelmoraPostForm)(HostText url, HostText params);
/* Writes one debug message (Windows-1251 bytes). Debug mode only. */
typedef void(VELMORA_CALL* VelmoraLog)(HostText message);
/* Writes content to the file at path. Debug mode only (the dump). */
typedef void(VELMORA_CALL* VelmoraSaveFile)(HostText path, HostText content);

/* Stores the callbacks and settings (replacing earlier ones) and returns the
 * host name of the served site. Debug mode is on exactly when the low 8 bits
 * of debugMode equal 1. */
VELMORA_EXPORT HostText VELMORA_CALL PlgInit(VelmoraGetPage getPage, VelmoraPostForm postForm,
                                             VelmoraLog log, uint32_t hostValue,
                                             VelmoraSaveFile saveFile, uint32_t debugMode,
                                             HostText dumpDir);

/* Resolves the link behind the host's reference; see conventions 5 and 6. */
VELMORA_EXPORT HostText VELMORA_CALL PlgGetDirectLink(const void* link);

/* Forgets the fetch callbacks; everything else is kept. */
VELMORA_EXPORT void VELMORA_CALL PlgDestroy(void);

#ifdef __cplusplus
} /* extern "C" */
#endif

#endif /* VELMORA_PLUGIN_PLUGIN_API_H_ */

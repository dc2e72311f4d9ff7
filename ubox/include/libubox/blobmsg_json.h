/* JSON text to message attributes. C API; C++ code includes it inside extern "C" { }. */
#ifndef UBOX_COMPAT_BLOBMSG_JSON_H
#define UBOX_COMPAT_BLOBMSG_JSON_H

#include "blobmsg.h"

/* Adds the members of a JSON object text to buf's open container; false (and nothing
 * added) when the text is not an object or the buffer cannot hold it. */
bool blobmsg_add_json_from_string(struct blob_buf *buf, const char *str);

#endif

// Finding members of a message table by name and reading them.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {
#include <libubox/blobmsg.h>
}

// Position in a walk over the members of a table or the elements of an array.
struct MsgWalk {
    unsigned char *pos;
    std::size_t rest;
};

// Starts a walk over the value of container (which must be present).
MsgWalk msg_walk_start(struct blob_attr *container);

// Next member, or null once the rest is shorter than a member or a member's length is bad.
struct blob_attr *msg_walk_next(MsgWalk *walk);

// Text of a member that is a string with its terminator inside the member; null otherwise.
char *msg_string_of(struct blob_attr *member);

// True when container is present and searchable by name (a buffer head or a table).
bool msg_is_table(struct blob_attr *container);

// First member called name, of any type; null if none.
struct blob_attr *msg_find(struct blob_attr *container, const char *name);

// First member called name if it is a table; null otherwise.
struct blob_attr *msg_get_table(struct blob_attr *container, const char *name);

// Text of the first member called name if it is a string; null otherwise.
char *msg_get_string(struct blob_attr *container, const char *name);

// Text of the first string member called name, passing over same-named members of other types.
char *msg_find_string(struct blob_attr *container, const char *name);

// Newly allocated text of the first member called name (string or integer); caller frees it.
char *msg_dup_text(struct blob_attr *container, const char *name);

// Stores the first member called name as a 32-bit integer (strings saturate); false otherwise.
bool msg_get_int(struct blob_attr *container, const char *name, int32_t *result);

// First member called name read as a boolean; false when absent or of another type.
bool msg_get_bool(struct blob_attr *container, const char *name);

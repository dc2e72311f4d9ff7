// The completion marker: its existence means the passwords were set (or left alone in an upgrade).
#pragma once

constexpr const char *kMarkerPath = "/etc/.zu-uid0-uid100-password-set";
constexpr const char *kMarkerDir = "/etc";

// Makes everything already renamed into "/etc" durable, then creates and syncs the empty marker
// and syncs "/etc" again. 0 also when the marker already exists. -1 leaves no marker of ours,
// except when only that last sync failed: a synced marker is kept.
int create_completion_marker();

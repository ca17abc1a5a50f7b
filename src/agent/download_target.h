// Opening and removing the target file of a download. Internal to the
// library.
#ifndef HKSRV_AGENT_DOWNLOAD_TARGET_H
#define HKSRV_AGENT_DOWNLOAD_TARGET_H

// Opens name for a download: created (0600) and truncated, or, in append
// mode, an existing file positioned at its end. The descriptor, or -1 with
// errno set.
int AgentOpenDownloadTarget(const wchar_t *name, bool append);

// Removes a failed or abandoned download's target. Only a name that leads
// to a regular file is removed: a download into a device or a pipe (such as
// /dev/null) must never delete the device node. Null is ignored.
void AgentRemoveDownloadTarget(const wchar_t *name);

#endif

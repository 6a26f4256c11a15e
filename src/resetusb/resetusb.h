/* ResetUSB.dll's one export. */
#pragma once

#ifdef __cplusplus
extern "C" {
#endif

/* Restarts every present device whose hardware id starts with `device_text` (such as
 * "USB\Vid_4A6D&Pid_2000", without regard to case) with a property change. Non-zero when at
 * least one device was restarted and none failed; 0 when none was attached or a restart failed.
 * C calling convention; exported undecorated as "Replug" (ResetUSB.def). */
int __cdecl Replug(const char* device_text);

#ifdef __cplusplus
}
#endif

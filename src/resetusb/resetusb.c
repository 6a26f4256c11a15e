/* ResetUSB.dll: the re-plug library that flotilla.exe stages. Replug restarts every
 * present device whose hardware id starts with the given text, the way Device Manager's
 * "disable, enable" would, so a stick that hangs on the bus enumerates afresh.
 * Plain C over SetupAPI, so the library imports system DLLs alone. */
#include <windows.h>
#include <setupapi.h>

#include "resetusb.h"

/* True when one of the zero-separated texts of `ids` (REG_MULTI_SZ) starts with `prefix`,
 * without regard to case. */
static BOOL AnyIdStartsWith(const WCHAR* ids, DWORD id_chars, const WCHAR* prefix, int prefix_chars) {
  const WCHAR* id = ids;
  const WCHAR* end = ids + id_chars;
  while (id < end && *id) {
    int length = lstrlenW(id);
    if (length >= prefix_chars &&
        CompareStringW(LOCALE_INVARIANT, NORM_IGNORECASE, id, prefix_chars, prefix, prefix_chars) ==
            CSTR_EQUAL)
      return TRUE;
    id += length + 1;
  }
  return FALSE;
}

static BOOL DeviceMatches(HDEVINFO devices, SP_DEVINFO_DATA* device, const WCHAR* prefix, int prefix_chars) {
  /* Hardware ids are short; a list that does not fit in 4 KiB is read into nothing. */
  WCHAR ids[2048 + 2];
  DWORD bytes = 0;
  ZeroMemory(ids, sizeof ids);
  if (!SetupDiGetDeviceRegistryPropertyW(devices, device, SPDRP_HARDWAREID, NULL, (BYTE*)ids,
                                         sizeof ids - 2 * sizeof(WCHAR), &bytes))
    return FALSE;
  return AnyIdStartsWith(ids, bytes / sizeof(WCHAR), prefix, prefix_chars);
}

/* DIF_PROPERTYCHANGE with DICS_PROPCHANGE: the device's driver stack is stopped and started. */
static BOOL RestartDevice(HDEVINFO devices, SP_DEVINFO_DATA* device) {
  SP_PROPCHANGE_PARAMS params;
  ZeroMemory(&params, sizeof params);
  params.ClassInstallHeader.cbSize = sizeof(SP_CLASSINSTALL_HEADER);
  params.ClassInstallHeader.InstallFunction = DIF_PROPERTYCHANGE;
  params.StateChange = DICS_PROPCHANGE;
  params.Scope = DICS_FLAG_CONFIGSPECIFIC;
  params.HwProfile = 0;
  if (!SetupDiSetClassInstallParamsW(devices, device, &params.ClassInstallHeader, sizeof params))
    return FALSE;
  return SetupDiCallClassInstaller(DIF_PROPERTYCHANGE, devices, device);
}

int __cdecl Replug(const char* device_text) {
  WCHAR prefix[512];
  int prefix_chars;
  HDEVINFO devices;
  SP_DEVINFO_DATA device;
  DWORD index;
  int restarted = 0;
  BOOL failed = FALSE;

  if (!device_text || !*device_text) return 0;
  prefix_chars = MultiByteToWideChar(CP_ACP, 0, device_text, -1, prefix, (int)(sizeof prefix / sizeof prefix[0]));
  if (prefix_chars <= 1) return 0;
  --prefix_chars; /* without the terminating zero */

  devices = SetupDiGetClassDevsW(NULL, NULL, NULL, DIGCF_ALLCLASSES | DIGCF_PRESENT);
  if (devices == INVALID_HANDLE_VALUE) return 0;
  for (index = 0;; ++index) {
    ZeroMemory(&device, sizeof device);
    device.cbSize = sizeof device;
    if (!SetupDiEnumDeviceInfo(devices, index, &device)) break; /* ERROR_NO_MORE_ITEMS */
    if (!DeviceMatches(devices, &device, prefix, prefix_chars)) continue;
    if (RestartDevice(devices, &device))
      ++restarted;
    else
      failed = TRUE;
  }
  SetupDiDestroyDeviceInfoList(devices);
  /* Success means a device was there and every match came back. */
  return restarted > 0 && !failed ? 1 : 0;
}

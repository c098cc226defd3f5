// Settings persistence: 24 REG_DWORD values in the "Settings" subkey of the
// device's driver key, loaded at start and saved at stop and filter close.
#pragma once

#include "driver/camera_device.h"

BOOLEAN LoadSettings(CameraDevice* camera);
BOOLEAN SaveSettings(CameraDevice* camera);
NTSTATUS OpenSettingsKey(HANDLE parent, PHANDLE key);
NTSTATUS QueryDwordValue(HANDLE key, PCWSTR name, ULONG* value);
void SetDwordValue(HANDLE key, PCWSTR name, ULONG value);

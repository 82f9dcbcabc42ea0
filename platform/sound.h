// Windows multimedia subset: synchronous playback of a sound file.
#pragma once

#ifdef _WIN32
#include <windows.h>
#include <mmsystem.h>
#else
#include "kernel.h"

#define SND_SYNC 0x0000u
#define SND_FILENAME 0x00020000u

// Plays a WAV file to its end before returning. Without an audio device it fails silently.
BOOL PlaySoundA(LPCSTR sound, HMODULE module, DWORD flags);
#endif

#include "../sound.h"

#include <SDL2/SDL.h>
#include <alsa/asoundlib.h>

namespace {

const Uint16 deviceBufferSamples = 1024;

void ignoreAlsaError(const char*, int, const char*, int, const char*, ...) {}

void ignoreSdlLog(void*, int, SDL_LogPriority, const char*) {}

Uint32 playbackMs(const SDL_AudioSpec& spec, Uint32 bytes)
{
    const Uint32 frameBytes = (SDL_AUDIO_BITSIZE(spec.format) / 8) * (spec.channels > 0 ? spec.channels : 1);
    if (spec.freq <= 0 || frameBytes == 0)
        return 0;
    return static_cast<Uint32>(static_cast<Uint64>(bytes) / frameBytes * 1000 / static_cast<Uint64>(spec.freq));
}

}  // namespace

BOOL PlaySoundA(LPCSTR sound, HMODULE, DWORD flags)
{
    if (sound == nullptr || (flags & SND_FILENAME) == 0)
        return FALSE;
    snd_lib_error_set_handler(ignoreAlsaError);
    // SDL's own messages (its disk driver announces itself as CRITICAL) are not the server's.
    SDL_LogSetOutputFunction(ignoreSdlLog, nullptr);
    if (SDL_InitSubSystem(SDL_INIT_AUDIO) != 0)
        return FALSE;

    BOOL played = FALSE;
    SDL_AudioSpec spec;
    Uint8* samples = nullptr;
    Uint32 length = 0;
    if (SDL_LoadWAV(sound, &spec, &samples, &length) != nullptr) {
        spec.samples = deviceBufferSamples;
        spec.callback = nullptr;
        spec.userdata = nullptr;
        const SDL_AudioDeviceID device = SDL_OpenAudioDevice(nullptr, 0, &spec, nullptr, 0);
        if (device != 0) {
            SDL_QueueAudio(device, samples, length);
            SDL_PauseAudioDevice(device, 0);
            // Bounded, so a stalled device cannot hold the request forever.
            const Uint32 deadline = SDL_GetTicks() + playbackMs(spec, length) + 2000;
            while (SDL_GetQueuedAudioSize(device) > 0 && !SDL_TICKS_PASSED(SDL_GetTicks(), deadline))
                SDL_Delay(5);
            // The device still plays its last buffer once the queue is empty.
            SDL_Delay(playbackMs(spec, deviceBufferSamples * (SDL_AUDIO_BITSIZE(spec.format) / 8) * spec.channels) + 1);
            SDL_CloseAudioDevice(device);
            played = TRUE;
        }
        SDL_FreeWAV(samples);
    }
    SDL_QuitSubSystem(SDL_INIT_AUDIO);
    return played;
}

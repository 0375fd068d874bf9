// SPDX-License-Identifier: MIT
// Formats our own decoders do not read (MP4/M4A, raw AAC, WMA, WavPack, Monkey's
// Audio, Musepack, TTA, Matroska/WebM, AC-3, DTS, FLAC in Ogg as FFmpeg writes it),
// through libaudioengine-ffmpeg.so (audioengine-ffmpeg.dll on Windows). That module
// links FFmpeg, which Debian builds under the GPL, so the engine never links it: it
// is loaded on first use from beside the engine's own library, and the engine does
// without it when it is not there.
#ifndef _WIN32
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <atomic>
#include <climits>
#include <cstdlib>
#include <string>

#include "audioengine/decode/ChannelOrder.h"
#include "audioengine/decode/CodecDecoders.h"
#include "audioengine/decode/ContainerMetadata.h"
#include "audioengine/decode/FrameDecoder.h"
#include "audioengine/ffmpeg/FfmpegModuleApi.h"
#include "plugin/engine/Bass.h"
#ifdef _WIN32
#include "audioengine/platform/WindowsModule.h"
#include "audioengine/platform/WindowsText.h"
#endif

namespace ae {

namespace {

struct Module {
    const AeffApi* api = nullptr;
    std::string why;  // why there is none
};

#ifdef _WIN32
constexpr const wchar_t* kModuleFile = L"audioengine-ffmpeg.dll";
#else
constexpr const char* kModuleFile = "libaudioengine-ffmpeg.so";

// The folder of the object this code was linked into: libbass.so, or a program that
// links the decoders itself (the tests and benchmarks). The loader names a program by
// how it was started, which may be relative to another folder: /proc says where it is.
std::string OwnFolder() {
    static const char anchor = 0;
    Dl_info where{};
    std::string file;
    if (dladdr(&anchor, &where) && where.dli_fname && where.dli_fname[0] == '/') {
        file = where.dli_fname;
    } else {
        char self[PATH_MAX];
        const ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
        if (n <= 0) return ".";
        file.assign(self, static_cast<size_t>(n));
    }
    const size_t slash = file.rfind('/');
    return slash == std::string::npos ? "." : slash == 0 ? "/" : file.substr(0, slash);
}
#endif

int64_t ReadAt(void* opaque, int64_t offset, void* buffer, int64_t bytes);
int64_t SizeOf(void* opaque);
const Module& LoadedModule();

// Whether the program asked for FFmpeg's process-wide log to be quiet, and the
// module's interface once it is loaded. Each side stores its own flag before it reads
// the other's, so a request and a load that race still quiet the log (the module's
// call may run twice; it is idempotent).
std::atomic<bool> quietProcessLog{false};
std::atomic<const AeffApi*> loadedApi{nullptr};

// The tag library's reader of what TagLib cannot read (Matroska and WebM tags).
int ReadMetadataThroughModule(const FileSource& file, AE_MetadataVisitor visit, void* user) {
    const AeffReader reader{const_cast<FileSource*>(&file), ReadAt, SizeOf};
    return LoadedModule().api->read_metadata(&reader, visit, user);
}

// Loaded once per process and never unloaded: decoders may be open on any thread.
// Once loaded, it reads container metadata for the tag library too.
const Module& LoadedModule() {
    static const Module module = [] {
        Module m;
#ifdef _WIN32
        std::wstring path;
        if (EnvironmentVariable(L"AUDIOENGINE_FFMPEG_MODULE", &path)) {
            if (path.empty()) {
                m.why = "AUDIOENGINE_FFMPEG_MODULE is set empty";
                return m;
            }
        } else {
            const std::wstring folder = ThisModuleFolder();
            if (folder.empty()) {
                m.why = "Windows does not say which folder the engine was loaded from";
                return m;
            }
            path = folder + L"\\" + kModuleFile;
        }
        using GetApi = const AeffApi* (*)(uint32_t);
        auto get = reinterpret_cast<GetApi>(
            LoadPinnedModuleFunction(path, "audioengine_ffmpeg_api", &m.why));
        m.api = get ? get(AEFF_API_VERSION) : nullptr;
        if (get && !m.api)
            m.why = WideToAnsi(path) + " does not speak this engine's module interface";
        return m;
#else
        std::string path;
        if (const char* chosen = std::getenv("AUDIOENGINE_FFMPEG_MODULE")) {
            path = chosen;
            if (path.empty()) {
                m.why = "AUDIOENGINE_FFMPEG_MODULE is set empty";
                return m;
            }
        } else {
            path = OwnFolder() + "/" + kModuleFile;
        }
        void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NODELETE);
        if (!handle) {
            const char* error = dlerror();
            m.why = error ? error : "cannot load " + path;
            return m;
        }
        using GetApi = const AeffApi* (*)(uint32_t);
        auto get = reinterpret_cast<GetApi>(dlsym(handle, "audioengine_ffmpeg_api"));
        m.api = get ? get(AEFF_API_VERSION) : nullptr;
        if (!m.api) m.why = path + " does not speak this engine's module interface";
        return m;
#endif
    }();
    static const bool reading = [] {
        if (module.api) SetContainerMetadataReader(ReadMetadataThroughModule);
        loadedApi.store(module.api);
        if (module.api && quietProcessLog.load()) module.api->quiet_process_log();
        return true;
    }();
    (void)reading;
    return module;
}

int64_t ReadAt(void* opaque, int64_t offset, void* buffer, int64_t bytes) {
    return static_cast<const FileSource*>(opaque)->ReadAt(offset, buffer, bytes);
}
int64_t SizeOf(void* opaque) { return static_cast<const FileSource*>(opaque)->Size(); }

class FfmpegDecoder final : public FrameDecoder {
  public:
    FfmpegDecoder(std::unique_ptr<FileSource> file, const AeffApi* api)
        : file_(std::move(file)), api_(api) {}
    ~FfmpegDecoder() override { api_->close(decoder_); }

    Status Open(bool codecInOwnContainer, std::string* what) {
        reader_.opaque = file_.get();
        reader_.read_at = ReadAt;
        reader_.size = SizeOf;
        const AeffLimits limits{kMaxDecodedRate, kMaxDecodedChannels, codecInOwnContainer ? 1 : 0};
        AeffInfo info{};
        int error = BASS_ERROR_UNKNOWN;
        char text[256] = {};
        decoder_ = api_->open(&reader_, &limits, &info, &error, text, sizeof text);
        if (what) *what = text;
        if (!decoder_) return Error{error != BASS_OK ? error : BASS_ERROR_UNKNOWN};
        info_.rate = info.rate;
        info_.channels = info.channels;
        info_.frames = info.frames;
        info_.ctype = info.ctype;
        info_.origres = info.origres;
        // A file that names no layout (WMA in ASF, for one) is taken in WAV order.
        info_.channelMask =
            info.channel_mask ? info.channel_mask : DefaultChannelMask(info.channels);
        return {};
    }

  protected:
    int64_t DecodeFrames(float* out, int64_t frames) override {
        return api_->read(decoder_, out, frames);
    }
    bool SeekCodec(int64_t frame) override { return api_->seek(decoder_, frame) == 1; }

  private:
    std::unique_ptr<FileSource> file_;  // read by the module until close
    const AeffApi* api_;
    AeffReader reader_{};
    AeffDecoder* decoder_ = nullptr;
};

}  // namespace

bool FfmpegModuleLoaded(std::string* why) {
    const Module& module = LoadedModule();
    if (why) *why = module.why;
    return module.api != nullptr;
}

void QuietFfmpegProcessLog() {
    quietProcessLog.store(true);
    if (const AeffApi* api = loadedApi.load()) api->quiet_process_log();
}

Result<std::unique_ptr<Decoder>> OpenFfmpegDecoder(std::unique_ptr<FileSource> file,
                                                   bool codecInOwnContainer, std::string* what) {
    if (what) what->clear();
    const Module& module = LoadedModule();
    if (!module.api) return Error{BASS_ERROR_FILEFORM};
    auto decoder = std::make_unique<FfmpegDecoder>(std::move(file), module.api);
    const Status opened = decoder->Open(codecInOwnContainer, what);
    if (!opened.ok()) return Error{opened.code()};
    return std::unique_ptr<Decoder>(std::move(decoder));
}

}  // namespace ae

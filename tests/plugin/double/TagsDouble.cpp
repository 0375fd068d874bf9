// The recording double of the tag library: see EngineDouble.h.
#include "plugin/engine/tags.h"
#include "tests/plugin/double/EngineDouble.h"

extern "C" const char* BASS_CALL TAGS_Read(DWORD handle, const char* fmt) {
    enginedouble::Record("TAGS_Read(" + std::to_string(handle) + ", " + enginedouble::Quote(fmt) +
                         ")");
    // Valid until the calling thread's next call, as the library promises.
    static thread_local std::string text;
    const enginedouble::Result result = enginedouble::Next("TAGS_Read");
    if (result.nullText) return nullptr;
    text = result.text;
    return text.c_str();
}

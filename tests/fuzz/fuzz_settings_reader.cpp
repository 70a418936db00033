// libFuzzer target: any bytes as the agent settings file. The reader must
// stay within its token buffers and only ever move a flag away from its
// default.
#include <stddef.h>
#include <stdint.h>
#include <stdlib.h>

#include "SettingsReader.h"

namespace {

struct Bytes {
    const uint8_t *data;
    size_t size;
    size_t at;
};

int nextByte(void *context)
{
    Bytes *bytes = static_cast<Bytes *>(context);
    return bytes->at < bytes->size ? bytes->data[bytes->at++] : -1;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    int32_t confirmKeyOp = 0, allowAdd = 1, allowDelete = 1;
    Bytes bytes = {data, size, 0};
    applyAgentSettings(CharacterSource{nextByte, &bytes}, AgentPolicyFlags{&confirmKeyOp, &allowAdd, &allowDelete, nullptr});
    if ((confirmKeyOp != 0 && confirmKeyOp != 1) || (allowAdd != 0 && allowAdd != 1) ||
        (allowDelete != 0 && allowDelete != 1))
        abort();
    return 0;
}

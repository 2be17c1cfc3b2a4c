// What the synchronous blit and compute passes share.
#pragma once

#include <memory>
#include <string>

#include "platform/gpu/command_buffer.hpp"

namespace quendal::metal {

// Ends a blit or compute pass: ends encoding, commits, waits for the GPU and
// clears the pass fields of the window. Main thread, gStateMutex held. Returns
// an error text for RuntimeError, or an empty string.
template <class Encoder>
std::string QuendalPyFinishPass(std::shared_ptr<Encoder>& encoder, std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                                bool& active, const char* passName)
{
    std::string error;
    if (encoder) encoder->endEncoding();
    if (commandBuffer) {
        commandBuffer->commit();
        // Not waitUntilCompleted: earlier frames' completion handlers take
        // gStateMutex, which the caller holds.
        if (auto executed = commandBuffer->waitUntilExecuted(); !executed) {
            error = std::string("The ") + passName + " pass failed on the GPU: " + executed.error().reason + ".";
        }
    }
    encoder.reset();
    commandBuffer.reset();
    active = false;
    return error;
}

}  // namespace quendal::metal

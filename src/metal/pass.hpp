// What the synchronous blit and compute passes share.
#pragma once

#include <memory>
#include <string>

#include "metal/errors.hpp"
#include "platform/gpu/command_buffer.hpp"

namespace quendal::metal {

// Ends a blit or compute pass: ends encoding, commits, waits for the GPU and
// clears the pass fields of the window. A pass the GPU failed fails the step
// with RuntimeError. Main thread, gStateMutex held.
template <class Encoder>
void QuendalPyFinishPass(std::shared_ptr<Encoder>& encoder, std::shared_ptr<gpu::CommandBuffer>& commandBuffer,
                         bool& active, const char* passName, StepFailure& failure)
{
    if (encoder) encoder->endEncoding();
    if (commandBuffer) {
        commandBuffer->commit();
        // Not waitUntilCompleted: earlier frames' completion handlers take
        // gStateMutex, which the caller holds.
        if (auto executed = commandBuffer->waitUntilExecuted(); !executed) {
            failure.setRuntime(std::string("The ") + passName + " pass failed on the GPU: " + executed.error().reason +
                               ".");
        }
    }
    encoder.reset();
    commandBuffer.reset();
    active = false;
}

}  // namespace quendal::metal

// What the synchronous blit and compute passes share.
#pragma once

#include <memory>
#include <string>

#include "metal/errors.hpp"
#include "metal/state.hpp"
#include "platform/gpu/command_buffer.hpp"

namespace quendal::metal {

// Opens a pass in commandBuffer, when given one not yet committed, else in a
// new command buffer of the queue. A command buffer that cannot be made leaves
// the encoder null, which the encoding functions report as no open pass. Main
// thread, gStateMutex held.
template <class Encoder>
void QuendalPyOpenPass(SynchronousPass<Encoder>& pass, std::shared_ptr<gpu::CommandBuffer> commandBuffer = nullptr)
{
    if (!commandBuffer) {
        if (auto made = commandQueue()->commandBuffer()) commandBuffer = std::move(made.value());
    }
    if (commandBuffer) {
        pass.commandBuffer = std::move(commandBuffer);
        pass.encoder = std::make_shared<Encoder>(pass.commandBuffer);
    }
    pass.active = true;
}

// Ends a pass: ends encoding, commits, waits for the GPU and closes the pass.
// A pass the GPU failed fails the step with RuntimeError. Main thread,
// gStateMutex held.
template <class Encoder>
void QuendalPyFinishPass(SynchronousPass<Encoder>& pass, const char* passName, StepFailure& failure)
{
    if (pass.encoder) pass.encoder->endEncoding();
    if (pass.commandBuffer) {
        pass.commandBuffer->commit();
        // Not waitUntilCompleted: earlier frames' completion handlers take
        // gStateMutex, which the caller holds.
        if (auto executed = pass.commandBuffer->waitUntilExecuted(); !executed) {
            failure.setRuntime(std::string("The ") + passName + " pass failed on the GPU: " + executed.error().reason +
                               ".");
        }
    }
    pass = {};
}

// end_blit and end_compute: one positional window handle; the main-thread step
// ends the window's pass, or fails with notActive when none is open.
template <class Encoder>
PyObject* QuendalPyEndPass(PyObject* args, const Failure& missing, SynchronousPass<Encoder> ActivePasses::*member,
                           const char* notActive, const char* passName)
{
    long long handle = 0;
    if (!PyArg_ParseTuple(args, "L", &handle)) return nullptr;
    return QuendalPyNoneUnlessFailed(
        QuendalPyWindowStep(handle, missing, [&](WindowRecord& record, StepFailure& failure) {
            SynchronousPass<Encoder>& pass = record.passes.*member;
            if (!pass.active) return failure.setRuntime(notActive);
            QuendalPyFinishPass(pass, passName, failure);
        }));
}

}  // namespace quendal::metal

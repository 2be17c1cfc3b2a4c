#include "platform/gpu/render_pipeline.hpp"

#include <optional>
#include <string>

#include "platform/gpu/device.hpp"
#include "platform/gpu/vulkan_enums.hpp"

namespace quendal::gpu {

namespace {

VkPrimitiveTopology topologyOf(PrimitiveClass primitive)
{
    switch (primitive) {
    case PrimitiveClass::Point: return VK_PRIMITIVE_TOPOLOGY_POINT_LIST;
    case PrimitiveClass::Line: return VK_PRIMITIVE_TOPOLOGY_LINE_LIST;
    case PrimitiveClass::Triangle: return VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
    }
    return VK_PRIMITIVE_TOPOLOGY_TRIANGLE_LIST;
}

bool supports(const Device& device, VkFormat format, VkFormatFeatureFlags features)
{
    return (device.formatProperties(format).optimalTilingFeatures & features) == features;
}

std::string quoted(const StageVariable& v)
{
    return v.name.empty() ? std::string() : " '" + v.name + "'";
}

// Metal refuses a pipeline whose fragment inputs the vertex function does not
// write with a matching type; Vulkan leaves them undefined, so check here.
std::optional<std::string> interfaceMismatch(const ShaderInterface& vertex, const ShaderInterface& fragment)
{
    if (!vertex.inputs.empty()) {
        const StageVariable& in = vertex.inputs.front();
        return "Vertex input" + quoted(in) + " (location " + std::to_string(in.location) +
               ") has no vertex attribute to read: vertex functions read their data from buffers by gl_VertexIndex.";
    }
    for (const StageVariable& in : fragment.inputs) {
        const StageVariable* match = nullptr;
        for (const StageVariable& out : vertex.outputs) {
            if (out.location == in.location && out.component == in.component) match = &out;
        }
        const std::string what = "Fragment input" + quoted(in) + " (location " + std::to_string(in.location) + ")";
        if (!match) return what + " is not written by the vertex function.";
        if (match->baseType != in.baseType || match->columns != in.columns || match->vectorSize < in.vectorSize ||
            match->arraySizes != in.arraySizes) {
            return what + " does not match the type of the vertex output" + quoted(*match) + ".";
        }
    }
    for (const StageVariable& out : fragment.outputs) {
        // Every colour format of the table holds normalized or float values.
        if (out.location == 0 && !out.isFloat) {
            return "Fragment output" + quoted(out) + " (location 0) is an integer type, but the colour pixel format "
                   "holds floating-point values.";
        }
    }
    return std::nullopt;
}

}  // namespace

DepthStencilFormats depthStencilFormats(PixelFormat depth, PixelFormat stencil)
{
    DepthStencilFormats out;
    if (hasDepth(depth)) out.depth = vkFormat(depth);
    if (hasStencil(stencil)) out.stencil = vkFormat(stencil);
    // Vulkan renders with one image holding depth and stencil, never two.
    if (out.depth != VK_FORMAT_UNDEFINED && out.stencil != VK_FORMAT_UNDEFINED) {
        out.depth = out.stencil = VK_FORMAT_D32_SFLOAT_S8_UINT;
    }
    return out;
}

Result<std::shared_ptr<RenderPipelineState>> RenderPipelineState::create(std::shared_ptr<Device> device,
                                                                         const RenderPipelineDescriptor& descriptor)
{
    if (!descriptor.vertexFunction || descriptor.vertexFunction->stage() != ShaderStage::Vertex ||
        !descriptor.fragmentFunction || descriptor.fragmentFunction->stage() != ShaderStage::Fragment) {
        return Error{ErrorKind::InitializationFailed, "A render pipeline needs a vertex and a fragment function."};
    }
    const VkSampleCountFlags samples = descriptor.rasterSampleCount;
    if (samples == 0 || (samples & (samples - 1)) || !(device->supportedSampleCounts() & samples)) {
        return Error{ErrorKind::Unsupported,
                     "Sample count " + std::to_string(descriptor.rasterSampleCount) + " is not supported by the device."};
    }
    const VkFormat color = vkFormat(descriptor.colorPixelFormat);
    if (color == VK_FORMAT_UNDEFINED || !supports(*device, color, VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BIT)) {
        return Error{ErrorKind::Unsupported, "The colour pixel format cannot be rendered to on this device."};
    }
    if (descriptor.blendingEnabled && !supports(*device, color, VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BLEND_BIT)) {
        return Error{ErrorKind::Unsupported, "The colour pixel format does not support blending on this device."};
    }

    std::shared_ptr<RenderPipelineState> state(new RenderPipelineState(device));
    state->descriptor_ = descriptor;
    state->attachments_ = depthStencilFormats(descriptor.depthAttachmentPixelFormat, descriptor.stencilAttachmentPixelFormat);
    for (VkFormat format : {state->attachments_.depth, state->attachments_.stencil}) {
        if (format != VK_FORMAT_UNDEFINED && !supports(*device, format, VK_FORMAT_FEATURE_DEPTH_STENCIL_ATTACHMENT_BIT)) {
            return Error{ErrorKind::Unsupported, "The depth or stencil pixel format is not supported by the device."};
        }
    }

    const Function& vertex = *descriptor.vertexFunction;
    const Function& fragment = *descriptor.fragmentFunction;
    if (auto mismatch = interfaceMismatch(vertex.interface(), fragment.interface())) {
        return Error{ErrorKind::InitializationFailed, *mismatch};
    }
    auto layout = PipelineLayout::create(device, false,
                                         {{VK_SHADER_STAGE_VERTEX_BIT, &vertex.interface()},
                                          {VK_SHADER_STAGE_FRAGMENT_BIT, &fragment.interface()}});
    if (!layout) return layout.error();
    state->layout_ = std::move(layout.value());
    auto vertexModule = ShaderModule::create(device, PipelineLayout::remap(vertex.spirv()));
    if (!vertexModule) return vertexModule.error();
    auto fragmentModule = ShaderModule::create(device, PipelineLayout::remap(fragment.spirv()));
    if (!fragmentModule) return fragmentModule.error();
    state->vertexModule_ = std::move(vertexModule.value());
    state->fragmentModule_ = std::move(fragmentModule.value());
    state->vertexName_ = vertex.name();
    state->writesPointSize_ = vertex.interface().writesPointSize;
    state->drawsMerge_ = !vertex.interface().readsDrawIdentity && !fragment.interface().readsDrawIdentity;
    state->fragmentName_ = fragment.name();
    // The functions' SPIR-V is not kept: the modules are all the state needs.
    state->descriptor_.vertexFunction.reset();
    state->descriptor_.fragmentFunction.reset();

    const AttachmentFormats own = state->ownAttachments();
    auto built = state->build(PrimitiveClass::Triangle, own);
    if (!built) return built.error();
    state->triangle_ = built.value();
    state->pipelines_[{own, PrimitiveClass::Triangle}] = built.value();
    return state;
}

RenderPipelineState::~RenderPipelineState()
{
    for (const auto& [key, pipeline] : pipelines_) vkDestroyPipeline(device_->vk(), pipeline, nullptr);
}

AttachmentFormats RenderPipelineState::ownAttachments() const
{
    return {vkColorFormat(), attachments_.depth, attachments_.stencil, descriptor_.rasterSampleCount};
}

Result<VkPipeline> RenderPipelineState::pipelineFor(PrimitiveClass primitive)
{
    return pipelineFor(primitive, ownAttachments());
}

Result<VkPipeline> RenderPipelineState::pipelineFor(PrimitiveClass primitive, const AttachmentFormats& frame)
{
    std::lock_guard lock(mutex_);
    auto it = pipelines_.find({frame, primitive});
    if (it != pipelines_.end()) return it->second;
    auto built = build(primitive, frame);
    if (!built) return built.error();
    pipelines_.emplace(std::make_pair(frame, primitive), built.value());
    return built.value();
}

Result<VkPipeline> RenderPipelineState::build(PrimitiveClass primitive, const AttachmentFormats& frame)
{
    // Vulkan leaves the size of points undefined unless the vertex stage
    // writes it; refuse rather than hand the driver an invalid pipeline.
    if (primitive == PrimitiveClass::Point && !writesPointSize_) {
        return Error{ErrorKind::InitializationFailed, "Point draws need a vertex function that writes gl_PointSize."};
    }
    const RenderPipelineDescriptor& d = descriptor_;
    VkPipelineShaderStageCreateInfo stages[2] = {
        {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO, nullptr, 0, VK_SHADER_STAGE_VERTEX_BIT,
         vertexModule_->vk(), vertexName_.c_str(), nullptr},
        {VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO, nullptr, 0, VK_SHADER_STAGE_FRAGMENT_BIT,
         fragmentModule_->vk(), fragmentName_.c_str(), nullptr},
    };
    // Vertex shaders pull their data from buffers: no vertex attributes.
    VkPipelineVertexInputStateCreateInfo vertexInput{VK_STRUCTURE_TYPE_PIPELINE_VERTEX_INPUT_STATE_CREATE_INFO};
    VkPipelineInputAssemblyStateCreateInfo assembly{VK_STRUCTURE_TYPE_PIPELINE_INPUT_ASSEMBLY_STATE_CREATE_INFO};
    assembly.topology = topologyOf(primitive);
    VkPipelineViewportStateCreateInfo viewport{VK_STRUCTURE_TYPE_PIPELINE_VIEWPORT_STATE_CREATE_INFO};
    viewport.viewportCount = 1;
    viewport.scissorCount = 1;
    VkPipelineRasterizationStateCreateInfo raster{VK_STRUCTURE_TYPE_PIPELINE_RASTERIZATION_STATE_CREATE_INFO};
    raster.polygonMode = VK_POLYGON_MODE_FILL;
    raster.cullMode = VK_CULL_MODE_NONE;
    // Frames flip y with a negative-height viewport, which keeps Metal's
    // clockwise winding as it is.
    raster.frontFace = VK_FRONT_FACE_CLOCKWISE;
    raster.lineWidth = 1.0f;
    VkPipelineMultisampleStateCreateInfo multisample{VK_STRUCTURE_TYPE_PIPELINE_MULTISAMPLE_STATE_CREATE_INFO};
    multisample.rasterizationSamples = static_cast<VkSampleCountFlagBits>(frame.sampleCount);
    VkPipelineDepthStencilStateCreateInfo depthStencil{VK_STRUCTURE_TYPE_PIPELINE_DEPTH_STENCIL_STATE_CREATE_INFO};
    depthStencil.depthCompareOp = VK_COMPARE_OP_ALWAYS;
    depthStencil.front = depthStencil.back = {VK_STENCIL_OP_KEEP, VK_STENCIL_OP_KEEP, VK_STENCIL_OP_KEEP,
                                              VK_COMPARE_OP_ALWAYS, 0xFF, 0xFF, 0};
    depthStencil.maxDepthBounds = 1.0f;
    VkPipelineColorBlendAttachmentState blend{};
    // A frame's colour format may not blend where the pipeline's own does.
    blend.blendEnable = d.blendingEnabled && supports(*device_, frame.color, VK_FORMAT_FEATURE_COLOR_ATTACHMENT_BLEND_BIT)
                            ? VK_TRUE
                            : VK_FALSE;
    blend.srcColorBlendFactor = vkBlendFactor(d.sourceRGBBlendFactor);
    blend.dstColorBlendFactor = vkBlendFactor(d.destinationRGBBlendFactor);
    blend.colorBlendOp = vkBlendOp(d.rgbBlendOperation);
    blend.srcAlphaBlendFactor = vkBlendFactor(d.sourceAlphaBlendFactor);
    blend.dstAlphaBlendFactor = vkBlendFactor(d.destinationAlphaBlendFactor);
    blend.alphaBlendOp = vkBlendOp(d.alphaBlendOperation);
    blend.colorWriteMask = vkColorComponents(d.writeMask);
    VkPipelineColorBlendStateCreateInfo colorBlend{VK_STRUCTURE_TYPE_PIPELINE_COLOR_BLEND_STATE_CREATE_INFO};
    colorBlend.attachmentCount = 1;
    colorBlend.pAttachments = &blend;

    std::vector<VkDynamicState> dynamic = {VK_DYNAMIC_STATE_VIEWPORT, VK_DYNAMIC_STATE_SCISSOR,
                                           VK_DYNAMIC_STATE_PRIMITIVE_TOPOLOGY,
                                           VK_DYNAMIC_STATE_PRIMITIVE_RESTART_ENABLE};
    if (frame.depth != VK_FORMAT_UNDEFINED) {
        dynamic.insert(dynamic.end(), {VK_DYNAMIC_STATE_DEPTH_TEST_ENABLE, VK_DYNAMIC_STATE_DEPTH_WRITE_ENABLE,
                                       VK_DYNAMIC_STATE_DEPTH_COMPARE_OP});
    }
    if (frame.stencil != VK_FORMAT_UNDEFINED) {
        dynamic.insert(dynamic.end(), {VK_DYNAMIC_STATE_STENCIL_TEST_ENABLE, VK_DYNAMIC_STATE_STENCIL_OP,
                                       VK_DYNAMIC_STATE_STENCIL_COMPARE_MASK, VK_DYNAMIC_STATE_STENCIL_WRITE_MASK,
                                       VK_DYNAMIC_STATE_STENCIL_REFERENCE});
    }
    VkPipelineDynamicStateCreateInfo dynamicState{VK_STRUCTURE_TYPE_PIPELINE_DYNAMIC_STATE_CREATE_INFO};
    dynamicState.dynamicStateCount = static_cast<uint32_t>(dynamic.size());
    dynamicState.pDynamicStates = dynamic.data();

    const VkFormat color = frame.color;
    VkPipelineRenderingCreateInfo rendering{VK_STRUCTURE_TYPE_PIPELINE_RENDERING_CREATE_INFO};
    rendering.colorAttachmentCount = 1;
    rendering.pColorAttachmentFormats = &color;
    rendering.depthAttachmentFormat = frame.depth;
    rendering.stencilAttachmentFormat = frame.stencil;

    VkGraphicsPipelineCreateInfo info{VK_STRUCTURE_TYPE_GRAPHICS_PIPELINE_CREATE_INFO, &rendering};
    info.stageCount = 2;
    info.pStages = stages;
    info.pVertexInputState = &vertexInput;
    info.pInputAssemblyState = &assembly;
    info.pViewportState = &viewport;
    info.pRasterizationState = &raster;
    info.pMultisampleState = &multisample;
    info.pDepthStencilState = &depthStencil;
    info.pColorBlendState = &colorBlend;
    info.pDynamicState = &dynamicState;
    info.layout = layout_->vk();
    VkPipeline pipeline = VK_NULL_HANDLE;
    if (VkResult r = vkCreateGraphicsPipelines(device_->vk(), VK_NULL_HANDLE, 1, &info, nullptr, &pipeline);
        r != VK_SUCCESS) {
        return vkError(r, "vkCreateGraphicsPipelines");
    }
    return pipeline;
}

}  // namespace quendal::gpu

#include "platform/gpu/spirv.hpp"

#include <memory>
#include <unordered_map>

#include <spirv-tools/libspirv.hpp>
#include <spirv_cross_c.h>

namespace quendal::gpu {

namespace {

constexpr uint32_t kMagic = 0x07230203;
constexpr uint32_t kOpCapability = 17;
constexpr uint32_t kOpDecorate = 71;
constexpr uint32_t kDecorationBinding = 33;
constexpr uint32_t kDecorationDescriptorSet = 34;

struct Context {
    spvc_context context = nullptr;
    spvc_compiler compiler = nullptr;
    ~Context()
    {
        if (context) spvc_context_destroy(context);
    }
    std::string lastError() const { return spvc_context_get_last_error_string(context); }
};

Result<std::unique_ptr<Context>> open(const std::vector<uint32_t>& words)
{
    auto ctx = std::make_unique<Context>();
    if (spvc_context_create(&ctx->context) != SPVC_SUCCESS) return Error{ErrorKind::Unknown, "cannot create a SPIR-V reflection context"};
    spvc_parsed_ir ir = nullptr;
    if (spvc_context_parse_spirv(ctx->context, words.data(), words.size(), &ir) != SPVC_SUCCESS ||
        spvc_context_create_compiler(ctx->context, SPVC_BACKEND_NONE, ir, SPVC_CAPTURE_MODE_TAKE_OWNERSHIP,
                                     &ctx->compiler) != SPVC_SUCCESS) {
        return Error{ErrorKind::InvalidShader, ctx->lastError()};
    }
    return ctx;
}

std::optional<ShaderStage> stageOf(SpvExecutionModel model)
{
    switch (model) {
    case SpvExecutionModelVertex: return ShaderStage::Vertex;
    case SpvExecutionModelFragment: return ShaderStage::Fragment;
    case SpvExecutionModelGLCompute: return ShaderStage::Compute;
    default: return std::nullopt;
    }
}

SpvExecutionModel modelOf(ShaderStage stage)
{
    switch (stage) {
    case ShaderStage::Vertex: return SpvExecutionModelVertex;
    case ShaderStage::Fragment: return SpvExecutionModelFragment;
    case ShaderStage::Compute: return SpvExecutionModelGLCompute;
    }
    return SpvExecutionModelVertex;
}

VkDescriptorType imageType(spvc_compiler compiler, spvc_type type, bool storage)
{
    const bool texel = spvc_type_get_image_dimension(type) == SpvDimBuffer;
    if (storage) return texel ? VK_DESCRIPTOR_TYPE_STORAGE_TEXEL_BUFFER : VK_DESCRIPTOR_TYPE_STORAGE_IMAGE;
    return texel ? VK_DESCRIPTOR_TYPE_UNIFORM_TEXEL_BUFFER : VK_DESCRIPTOR_TYPE_SAMPLED_IMAGE;
}

}  // namespace

std::optional<std::string> validateSpirv(const std::vector<uint32_t>& words)
{
    spvtools::SpirvTools tools(SPV_ENV_VULKAN_1_3);
    std::string message;
    tools.SetMessageConsumer([&](spv_message_level_t level, const char*, const spv_position_t&, const char* text) {
        if (level <= SPV_MSG_ERROR && message.empty()) message = text;
    });
    if (tools.Validate(words)) return std::nullopt;
    return message.empty() ? std::string("invalid SPIR-V module") : message;
}

Result<std::vector<SpirvEntryPoint>> spirvEntryPoints(const std::vector<uint32_t>& words)
{
    auto ctx = open(words);
    if (!ctx) return ctx.error();
    const spvc_entry_point* entries = nullptr;
    size_t count = 0;
    if (spvc_compiler_get_entry_points(ctx.value()->compiler, &entries, &count) != SPVC_SUCCESS) {
        return Error{ErrorKind::InvalidShader, ctx.value()->lastError()};
    }
    std::vector<SpirvEntryPoint> out;
    for (size_t i = 0; i < count; ++i) {
        if (auto stage = stageOf(entries[i].execution_model)) out.push_back({entries[i].name, *stage});
    }
    return out;
}

Result<ShaderInterface> reflectEntryPoint(const std::vector<uint32_t>& words, const std::string& name,
                                          ShaderStage stage)
{
    auto opened = open(words);
    if (!opened) return opened.error();
    Context& ctx = *opened.value();
    spvc_compiler compiler = ctx.compiler;
    auto failed = [&] { return Error{ErrorKind::InvalidShader, ctx.lastError()}; };
    // SPIRV-Cross throws through its C interface for an entry point the module
    // lacks, so the name is checked against the module's list first.
    const spvc_entry_point* entries = nullptr;
    size_t entryCount = 0;
    if (spvc_compiler_get_entry_points(compiler, &entries, &entryCount) != SPVC_SUCCESS) return failed();
    bool present = false;
    for (size_t i = 0; i < entryCount; ++i) {
        present = present || (entries[i].execution_model == modelOf(stage) && name == entries[i].name);
    }
    if (!present) return Error{ErrorKind::InvalidShader, "The module has no " + std::string(stageName(stage)) +
                                                               " entry point named '" + name + "'."};
    if (spvc_compiler_set_entry_point(compiler, name.c_str(), modelOf(stage)) != SPVC_SUCCESS) return failed();
    spvc_set active = nullptr;
    spvc_resources resources = nullptr;
    if (spvc_compiler_get_active_interface_variables(compiler, &active) != SPVC_SUCCESS ||
        spvc_compiler_create_shader_resources_for_active_variables(compiler, &resources, active) != SPVC_SUCCESS) {
        return failed();
    }

    ShaderInterface out;
    spvc_compiler_update_active_builtins(compiler);
    out.writesPointSize = spvc_compiler_has_active_builtin(compiler, SpvBuiltInPointSize, SpvStorageClassOutput);
    for (SpvBuiltIn builtIn : {SpvBuiltInPrimitiveId, SpvBuiltInBaseVertex, SpvBuiltInBaseInstance, SpvBuiltInDrawIndex}) {
        out.readsDrawIdentity |= spvc_compiler_has_active_builtin(compiler, builtIn, SpvStorageClassInput);
    }
    struct Kind {
        spvc_resource_type type;
        int descriptor;  // -1: decided by the image type
        bool storage;
    };
    static constexpr Kind kinds[] = {
        {SPVC_RESOURCE_TYPE_UNIFORM_BUFFER, VK_DESCRIPTOR_TYPE_UNIFORM_BUFFER, false},
        {SPVC_RESOURCE_TYPE_STORAGE_BUFFER, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, false},
        {SPVC_RESOURCE_TYPE_SAMPLED_IMAGE, VK_DESCRIPTOR_TYPE_COMBINED_IMAGE_SAMPLER, false},
        {SPVC_RESOURCE_TYPE_SEPARATE_IMAGE, -1, false},
        {SPVC_RESOURCE_TYPE_STORAGE_IMAGE, -1, true},
        {SPVC_RESOURCE_TYPE_SEPARATE_SAMPLERS, VK_DESCRIPTOR_TYPE_SAMPLER, false},
        {SPVC_RESOURCE_TYPE_SUBPASS_INPUT, VK_DESCRIPTOR_TYPE_INPUT_ATTACHMENT, false},
        {SPVC_RESOURCE_TYPE_ACCELERATION_STRUCTURE, VK_DESCRIPTOR_TYPE_ACCELERATION_STRUCTURE_KHR, false},
    };
    for (const Kind& kind : kinds) {
        const spvc_reflected_resource* list = nullptr;
        size_t count = 0;
        if (spvc_resources_get_resource_list_for_type(resources, kind.type, &list, &count) != SPVC_SUCCESS) return failed();
        for (size_t i = 0; i < count; ++i) {
            ShaderResource r;
            r.name = list[i].name ? list[i].name : "";
            r.set = spvc_compiler_get_decoration(compiler, list[i].id, SpvDecorationDescriptorSet);
            r.binding = spvc_compiler_get_decoration(compiler, list[i].id, SpvDecorationBinding);
            spvc_type type = spvc_compiler_get_type_handle(compiler, list[i].type_id);
            r.type = kind.descriptor >= 0 ? static_cast<VkDescriptorType>(kind.descriptor)
                                          : imageType(compiler, type, kind.storage);
            r.count = 1;
            for (unsigned d = 0; d < spvc_type_get_num_array_dimensions(type); ++d) {
                // A runtime-sized array (0) cannot be described by a push descriptor set.
                r.count *= spvc_type_get_array_dimension(type, d);
            }
            out.resources.push_back(std::move(r));
        }
    }

    for (auto [kind, list] : {std::pair{SPVC_RESOURCE_TYPE_STAGE_INPUT, &out.inputs},
                              std::pair{SPVC_RESOURCE_TYPE_STAGE_OUTPUT, &out.outputs}}) {
        const spvc_reflected_resource* variables = nullptr;
        size_t count = 0;
        if (spvc_resources_get_resource_list_for_type(resources, kind, &variables, &count) != SPVC_SUCCESS) return failed();
        for (size_t i = 0; i < count; ++i) {
            StageVariable v;
            v.name = variables[i].name ? variables[i].name : "";
            v.location = spvc_compiler_get_decoration(compiler, variables[i].id, SpvDecorationLocation);
            v.component = spvc_compiler_get_decoration(compiler, variables[i].id, SpvDecorationComponent);
            spvc_type type = spvc_compiler_get_type_handle(compiler, variables[i].type_id);
            const spvc_basetype base = spvc_type_get_basetype(type);
            v.baseType = static_cast<int>(base);
            v.isFloat = base == SPVC_BASETYPE_FP16 || base == SPVC_BASETYPE_FP32 || base == SPVC_BASETYPE_FP64 ||
                        base == SPVC_BASETYPE_STRUCT;
            v.vectorSize = spvc_type_get_vector_size(type);
            v.columns = spvc_type_get_columns(type);
            for (unsigned d = 0; d < spvc_type_get_num_array_dimensions(type); ++d) {
                v.arraySizes.push_back(spvc_type_get_array_dimension(type, d));
            }
            list->push_back(std::move(v));
        }
    }

    const spvc_reflected_resource* push = nullptr;
    size_t pushCount = 0;
    if (spvc_resources_get_resource_list_for_type(resources, SPVC_RESOURCE_TYPE_PUSH_CONSTANT, &push, &pushCount) ==
            SPVC_SUCCESS && pushCount > 0) {
        size_t size = 0;
        spvc_compiler_get_declared_struct_size(compiler, spvc_compiler_get_type_handle(compiler, push[0].base_type_id),
                                               &size);
        out.pushConstantSize = static_cast<uint32_t>(size);
    }

    if (stage == ShaderStage::Compute) {
        spvc_specialization_constant x{}, y{}, z{};
        spvc_compiler_get_work_group_size_specialization_constants(compiler, &x, &y, &z);
        if (x.id == 0 && y.id == 0 && z.id == 0) {
            std::array<uint32_t, 3> size{};
            for (unsigned i = 0; i < 3; ++i) {
                size[i] = spvc_compiler_get_execution_mode_argument_by_index(compiler, SpvExecutionModeLocalSize, i);
            }
            if (size[0] && size[1] && size[2]) out.fixedWorkgroupSize = size;
        }
    }
    return out;
}

std::vector<uint32_t> spirvCapabilities(const std::vector<uint32_t>& words)
{
    std::vector<uint32_t> out;
    for (size_t i = 5; i < words.size();) {
        const uint32_t count = words[i] >> 16;
        if (count == 0 || i + count > words.size()) break;
        if ((words[i] & 0xFFFF) == kOpCapability && count == 2) out.push_back(words[i + 1]);
        i += count;
    }
    return out;
}

std::vector<uint32_t> remapDescriptorBindings(std::vector<uint32_t> words, const BindingRemap& remap)
{
    struct Slot {
        size_t setWord = 0;      // index of the set literal, 0 when undecorated
        size_t bindingWord = 0;  // index of the binding literal
    };
    std::unordered_map<uint32_t, Slot> slots;
    for (size_t i = 5; i < words.size();) {
        const uint32_t count = words[i] >> 16;
        const uint32_t op = words[i] & 0xFFFF;
        if (count == 0 || i + count > words.size()) break;
        if (op == kOpDecorate && count == 4) {
            if (words[i + 2] == kDecorationDescriptorSet) slots[words[i + 1]].setWord = i + 3;
            if (words[i + 2] == kDecorationBinding) slots[words[i + 1]].bindingWord = i + 3;
        }
        i += count;
    }
    for (const auto& [id, slot] : slots) {
        if (!slot.bindingWord) continue;
        const uint32_t set = slot.setWord ? words[slot.setWord] : 0;
        auto [newSet, newBinding] = remap(set, words[slot.bindingWord]);
        // A binding without a set decoration is in set 0 and stays there.
        if (slot.setWord) words[slot.setWord] = newSet;
        words[slot.bindingWord] = newBinding;
    }
    return words;
}

}  // namespace quendal::gpu

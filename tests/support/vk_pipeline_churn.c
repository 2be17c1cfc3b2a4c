/* Raw Vulkan beside the leak cycles: creates and destroys the same compute
 * pipeline (and pipeline layout and shader module) in a loop on the first
 * device, and prints the resident growth in KiB per round after a warm-up, so
 * that growth the driver itself keeps can be told apart from the project's.
 *
 *   vk_pipeline_churn <spirv file> <rounds>
 */
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>
#include <vulkan/vulkan.h>

static long resident_kib(void)
{
    long pages = 0, resident = 0;
    FILE* f = fopen("/proc/self/statm", "r");
    if (!f || fscanf(f, "%ld %ld", &pages, &resident) != 2) resident = 0;
    if (f) fclose(f);
    return resident * sysconf(_SC_PAGESIZE) / 1024;
}

#define CHECK(call)                                                    \
    do {                                                               \
        VkResult r_ = (call);                                          \
        if (r_ != VK_SUCCESS) {                                        \
            fprintf(stderr, "%s failed: %d\n", #call, (int)r_);        \
            return 1;                                                  \
        }                                                              \
    } while (0)

int main(int argc, char** argv)
{
    if (argc < 3) return 2;
    FILE* f = fopen(argv[1], "rb");
    if (!f) return 2;
    static unsigned char code[1 << 20];
    size_t size = fread(code, 1, sizeof code, f);
    fclose(f);
    const int rounds = atoi(argv[2]);

    VkApplicationInfo app = {VK_STRUCTURE_TYPE_APPLICATION_INFO, NULL, "churn", 1, NULL, 0, VK_API_VERSION_1_3};
    VkInstanceCreateInfo ici = {VK_STRUCTURE_TYPE_INSTANCE_CREATE_INFO, NULL, 0, &app, 0, NULL, 0, NULL};
    VkInstance instance;
    CHECK(vkCreateInstance(&ici, NULL, &instance));
    uint32_t count = 1;
    VkPhysicalDevice physical;
    vkEnumeratePhysicalDevices(instance, &count, &physical);
    if (count == 0) return 1;
    float priority = 1.0f;
    VkDeviceQueueCreateInfo qci = {VK_STRUCTURE_TYPE_DEVICE_QUEUE_CREATE_INFO, NULL, 0, 0, 1, &priority};
    VkDeviceCreateInfo dci = {VK_STRUCTURE_TYPE_DEVICE_CREATE_INFO, NULL, 0, 1, &qci, 0, NULL, 0, NULL, NULL};
    VkDevice device;
    CHECK(vkCreateDevice(physical, &dci, NULL, &device));

    VkDescriptorSetLayoutBinding binding = {0, VK_DESCRIPTOR_TYPE_STORAGE_BUFFER, 1, VK_SHADER_STAGE_COMPUTE_BIT, NULL};
    VkDescriptorSetLayoutCreateInfo dsl = {VK_STRUCTURE_TYPE_DESCRIPTOR_SET_LAYOUT_CREATE_INFO, NULL, 0, 1, &binding};
    VkDescriptorSetLayout setLayout;
    CHECK(vkCreateDescriptorSetLayout(device, &dsl, NULL, &setLayout));

    long warm = 0;
    for (int i = 0; i < rounds; ++i) {
        if (i == rounds / 10) warm = resident_kib();
        VkShaderModuleCreateInfo smci = {VK_STRUCTURE_TYPE_SHADER_MODULE_CREATE_INFO, NULL, 0, size,
                                         (const uint32_t*)code};
        VkShaderModule module;
        CHECK(vkCreateShaderModule(device, &smci, NULL, &module));
        VkPipelineLayoutCreateInfo plci = {VK_STRUCTURE_TYPE_PIPELINE_LAYOUT_CREATE_INFO, NULL, 0, 1, &setLayout, 0,
                                           NULL};
        VkPipelineLayout layout;
        CHECK(vkCreatePipelineLayout(device, &plci, NULL, &layout));
        VkComputePipelineCreateInfo cpci = {VK_STRUCTURE_TYPE_COMPUTE_PIPELINE_CREATE_INFO};
        cpci.stage = (VkPipelineShaderStageCreateInfo){VK_STRUCTURE_TYPE_PIPELINE_SHADER_STAGE_CREATE_INFO, NULL, 0,
                                                       VK_SHADER_STAGE_COMPUTE_BIT, module, "main", NULL};
        cpci.layout = layout;
        VkPipeline pipeline;
        CHECK(vkCreateComputePipelines(device, VK_NULL_HANDLE, 1, &cpci, NULL, &pipeline));
        vkDestroyPipeline(device, pipeline, NULL);
        vkDestroyPipelineLayout(device, layout, NULL);
        vkDestroyShaderModule(device, module, NULL);
    }
    const int measured = rounds - rounds / 10;
    printf("%.1f KiB per round over %d rounds\n", (double)(resident_kib() - warm) / measured, measured);
    vkDestroyDescriptorSetLayout(device, setLayout, NULL);
    vkDestroyDevice(device, NULL);
    vkDestroyInstance(instance, NULL);
    return 0;
}

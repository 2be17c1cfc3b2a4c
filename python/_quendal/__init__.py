"""Native GPU and system-service runtime.

``_quendal._metal`` drives the GPU (Vulkan behind a Metal-shaped API) and
``_quendal._system`` runs system services as asynchronous requests. Import the
submodules directly; every native object of ``_metal`` is an integer handle.
"""

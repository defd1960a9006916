mivo_fuzz_target(cache_index LIBS mivo_loader)

# The kit's JSON decoders and the drive services' handling of what their servers send.
mivo_fuzz_target(json_character_description LIBS mivo_model mivo_loader)
mivo_fuzz_target(json_character LIBS mivo_model DEPENDS synthetic_flame_assets)
mivo_fuzz_target(json_camera LIBS mivo_model DEPENDS synthetic_flame_assets)
mivo_fuzz_target(json_eyelids LIBS mivo_head DEPENDS synthetic_flame_assets)
mivo_fuzz_target(json_idle_frames LIBS mivo_model DEPENDS synthetic_flame_assets)
mivo_fuzz_target(json_shape_offsets LIBS mivo_head DEPENDS synthetic_flame_assets)
mivo_fuzz_target(service_audiovisual LIBS mivo_service mivo_head)
mivo_fuzz_target(service_animation LIBS mivo_service mivo_head mivo_ply_writer DEPENDS synthetic_flame_assets)

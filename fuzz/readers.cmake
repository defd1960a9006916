# The kit's file readers: PLY and .splat point clouds, the OBJ mesh, a character's point cloud
# through splat binding, the FLAME model files, and archive extraction.
mivo_fuzz_target(ply LIBS mivo_io mivo_ply_writer DEPENDS synthetic_flame_assets)
mivo_fuzz_target(splat_ply_scene LIBS mivo_io mivo_ply_writer DEPENDS synthetic_flame_assets)
mivo_fuzz_target(dot_splat LIBS mivo_io mivo_ply_writer)
mivo_fuzz_target(obj LIBS mivo_io DEPENDS synthetic_flame_assets)
mivo_fuzz_target(character_point_cloud LIBS mivo_head mivo_ply_writer DEPENDS synthetic_flame_assets)
mivo_fuzz_target(flame_model LIBS mivo_head DEPENDS synthetic_flame_assets)
mivo_fuzz_target(archive_extraction LIBS mivo_zip PkgConfig::MINIZIP ZLIB::ZLIB)
mivo_fuzz_target(archive_names LIBS mivo_zip PkgConfig::MINIZIP ZLIB::ZLIB)

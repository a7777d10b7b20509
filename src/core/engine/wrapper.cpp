#include "engine/wrapper.hpp"

#include "engine/shell.hpp"

namespace plexaro::engine {

namespace {

// Everything after the REAL_DOCKER line. @DEVICE_DIR@, @DRIVER_DIR@,
// @ENV_PREFIX@ and @ENV_MAX_AGE@ are filled in as shell words.
constexpr const char *kBody = R"WRAPPER(
# Host-network wrapper around the real engine. Containers run on the host
# network with their entry point cleared; GPU runtime options are dropped
# and the NVIDIA devices, driver libraries and (where the image lacks one)
# the CUDA toolkit are handed to the container directly.

if [ "$1" = "run" ]; then
    shift
    ARGS=()
    while [ $# -gt 0 ]; do
        case "$1" in
            --gpus|--runtime)
                # The option's value goes with it; a trailing one goes alone.
                shift
                [ $# -gt 0 ] && shift
                ;;
            --gpus=*|--runtime=*)
                shift
                ;;
            *)
                ARGS+=("$1")
                shift
                ;;
        esac
    done

    GPU_OPTS=()
    for dev in @DEVICE_DIR@/nvidia*; do
        [ -c "$dev" ] && GPU_OPTS+=(--device "$dev:$dev")
    done

    if [ ${#GPU_OPTS[@]} -gt 0 ]; then
        VOLUME_ROOT="${PIPELINE_VOLUME_PATH:-/tmp}"
        # The value goes into the environment file one line per variable: a
        # line break in it would add variables of its own (LD_PRELOAD=...).
        case "$VOLUME_ROOT" in
            *$'\n'*|*$'\r'*)
                echo "docker wrapper: PIPELINE_VOLUME_PATH contains a line break; refusing to run (fix the variable)" >&2
                exit 125
                ;;
        esac

        for lib in @DRIVER_DIR@/libcuda.so* @DRIVER_DIR@/libnvidia*.so*; do
            [ -e "$lib" ] && GPU_OPTS+=(-v "$lib:$lib:ro")
        done
        GPU_OPTS+=(-e NVIDIA_VISIBLE_DEVICES=all -e NVIDIA_DRIVER_CAPABILITIES=all)

        IMAGE=""
        HAVE_IMAGE=0
        SKIP_NEXT=0
        for arg in "${ARGS[@]}"; do
            if [ $SKIP_NEXT -eq 1 ]; then
                SKIP_NEXT=0
                continue
            fi
            case "$arg" in
                -v|-e|-w|--name|--mount|--env-file|--user|-u|--workdir|--entrypoint|--label|-l|--network|-p|--device)
                    SKIP_NEXT=1
                    ;;
                -*)
                    ;;
                *)
                    IMAGE="$arg"
                    HAVE_IMAGE=1
                    break
                    ;;
            esac
        done

        # The host toolkit is another CUDA version: mounted over an image's
        # own toolkit it hides the image's libraries, but images without
        # one need it.
        MOUNT_HOST_CUDA=1
        if [ $HAVE_IMAGE -eq 1 ]; then
            for cuda_dir in /usr/local/cuda/lib64 /usr/local/cuda/targets/x86_64-linux/lib; do
                if "$REAL_DOCKER" run --rm --network=host --entrypoint "" "$IMAGE" \
                        sh -c "ls $cuda_dir/libcudart.so* >/dev/null 2>&1" 2>/dev/null; then
                    MOUNT_HOST_CUDA=0
                    break
                fi
            done
        fi

        # The engine reads the file when it starts, and this script becomes
        # the engine, so it cannot remove its own file afterwards; files of
        # earlier runs are removed here instead.
        ENV_DIR="${TMPDIR:-/tmp}"
        find "$ENV_DIR" -maxdepth 1 -type f -name @ENV_PREFIX@'*' -mmin +@ENV_MAX_AGE@ \
            -delete >/dev/null 2>&1
        if ENV_FILE=$(mktemp "$ENV_DIR/"@ENV_PREFIX@XXXXXXXX); then
            {
                echo "XLA_FLAGS=--xla_gpu_cuda_data_dir=/usr/local/cuda"
                # JAX's pre-allocating allocator deadlocks host-to-device
                # copies under the sandboxed runtime's GPU proxy.
                echo "XLA_PYTHON_CLIENT_ALLOCATOR=platform"
                echo "XLA_PYTHON_CLIENT_PREALLOCATE=false"
                echo "JAX_COMPILATION_CACHE_DIR=$VOLUME_ROOT/.jax_cache"
                echo "OMP_NUM_THREADS=4"
                echo "OPENBLAS_NUM_THREADS=4"
                # Images point their library path at toolkit-injected
                # directories that do not exist in this setup.
                echo "LD_LIBRARY_PATH=/usr/local/cuda/lib64:/usr/local/cuda/targets/x86_64-linux/lib:/usr/local/nvidia/lib:/usr/local/nvidia/lib64"
            } >>"$ENV_FILE"
            GPU_OPTS+=(--env-file "$ENV_FILE")
        fi

        if [ $MOUNT_HOST_CUDA -eq 1 ]; then
            GPU_OPTS+=(-v /usr/local/cuda:/usr/local/cuda:ro)
        fi

        # Downloaded model weights (cache home /cache in the images) stay on
        # the pipeline volume across runs.
        MODEL_CACHE="$VOLUME_ROOT/.model_cache"
        mkdir -p "$MODEL_CACHE"
        GPU_OPTS+=(-v "$MODEL_CACHE:/cache:rw")
    fi

    exec "$REAL_DOCKER" run --network=host --entrypoint "" "${GPU_OPTS[@]}" "${ARGS[@]}"
elif [ "$1" = "pull" ]; then
    "$REAL_DOCKER" "$@"
    status=$?
    if [ $status -eq 137 ]; then
        echo "max depth exceeded: image has too many layers for overlay2 storage driver" >&2
    fi
    exit $status
else
    exec "$REAL_DOCKER" "$@"
fi
)WRAPPER";

void replace_all(std::string &text, std::string_view marker, const std::string &value) {
    for (std::size_t at = text.find(marker); at != std::string::npos;
         at = text.find(marker, at + value.size()))
        text.replace(at, marker.size(), value);
}

}  // namespace

std::string docker_wrapper_text(const WrapperLocations &where) {
    std::string body = kBody;
    replace_all(body, "@DEVICE_DIR@", shell_word(where.device_dir));
    replace_all(body, "@DRIVER_DIR@", shell_word(where.driver_library_dir));
    replace_all(body, "@ENV_PREFIX@", shell_word(kEnvFilePrefix));
    replace_all(body, "@ENV_MAX_AGE@", std::to_string(kEnvFileMaxAgeMinutes));
    return "#!/bin/bash\nREAL_DOCKER=\"" + double_quote_body(where.real_binary) + "\"" + body;
}

}  // namespace plexaro::engine

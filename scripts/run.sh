#!/usr/bin/env bash
# Installs the dependencies, builds, and runs the client signed in as alice against the stand-ins
# of the service on this machine (cloud_standin_run --demo): a fresh demo folder ("demo/", kept out
# of git) holds the client's HOME and its working folder with "sync.ini"; the account store names
# the identity server and remembers alice with her cookie and both choices, so the client signs in
# by itself. On $DISPLAY, or under Xvfb (with openbox) when no display is set. The stand-ins stop
# when the client exits; the script ends with the client's status.
set -euo pipefail
cd "$(dirname "$0")/.."
root=$(pwd)

if [ "${SKIP_DEPS:-0}" != "1" ]; then
    ./scripts/install-deps.sh
fi
cmake -S . -B build -G Ninja -DCMAKE_COMPILE_WARNING_AS_ERROR=ON -DCMAKE_BUILD_TYPE=RelWithDebInfo
cmake --build build -j "$(nproc)" --target nimbo cloud_standin_run

demo="${root}/demo"
rm -rf "${demo}"
mkdir -p "${demo}/home" "${demo}/work"

pids=()
cleanup() {
    local pid
    for pid in "${pids[@]}"; do
        kill "${pid}" 2> /dev/null || true
    done
    for pid in "${pids[@]}"; do
        wait "${pid}" 2> /dev/null || true
    done
}
trap cleanup EXIT

# The stand-ins' ports are ephemeral: read them from the runner's first lines.
log="${demo}/standin.log"
# The blocks of the files tried go to files under the demo folder, not into the stand-in's memory.
./build/tests/support/cloud_standin_run --demo --block-dir "${demo}/blocks" > "${log}" 2>&1 &
pids+=($!)
for _ in $(seq 300); do
    grep -q '^demo accounts' "${log}" && break
    kill -0 "${pids[0]}" 2> /dev/null || break
    sleep 0.1
done
if ! grep -q '^demo accounts' "${log}"; then
    cat "${log}"
    echo "The stand-ins did not start." >&2
    exit 1
fi
field() { sed -n "s/^$1 *//p" "${log}" | head -n 1; }
cloud=$(field primary | sed -E 's|^http://([^/]*)/.*|\1|')
identity=$(field 'demo identity')
ca=$(field 'demo ca')
read -r qid q t <<< "$(field 'demo cookie')"
sed -n '/^demo accounts/p' "${log}"

# The configuration host, the account host's replacement, and alice remembered with her cookie.
printf '[server]\nlogin=%s\n' "${cloud}" > "${demo}/work/sync.ini"
store="${demo}/home/.local/share/NimboOrrinSuite"
mkdir -p "${store}/${qid}"
chmod 700 "${store}" "${store}/${qid}"
printf '[account.nimbo.invalid]\nip=%s\n\n[alice]\nqid=%s\n\n[lastlogin]\nqid=%s\n' \
    "${identity}" "${qid}" "${qid}" > "${store}/publicConfig.ini"
printf '[detial]\nautologin=true\nrememberpwd=true\nq=%s\nt=%s\n' "${q}" "${t}" > "${store}/${qid}/UserConfig.ini"
chmod 600 "${store}/publicConfig.ini" "${store}/${qid}/UserConfig.ini"

if [ -z "${DISPLAY:-}" ]; then
    echo "No display is set: starting the client under Xvfb."
    # Xvfb picks a free display and writes its number to fd 3.
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp 3> "${demo}/display" > "${demo}/xvfb.log" 2>&1 &
    pids+=($!)
    for _ in $(seq 300); do
        grep -q '^[0-9][0-9]*$' "${demo}/display" && break
        sleep 0.1
    done
    number=$(cat "${demo}/display")
    if [ -z "${number}" ]; then
        cat "${demo}/xvfb.log"
        echo "Xvfb did not start." >&2
        exit 1
    fi
    export DISPLAY=":${number}"
    echo "Xvfb display ${DISPLAY} (a screenshot: DISPLAY=${DISPLAY} import -window root shot.png)"
    openbox > "${demo}/openbox.log" 2>&1 &
    pids+=($!)
fi

status=0
# The window paints with widgets only: no GL integration, so no GL driver is loaded for it.
(
    cd "${demo}/work"
    exec env -u XDG_DATA_HOME -u XDG_CONFIG_HOME -u XDG_CACHE_HOME HOME="${demo}/home" \
        NIMBO_CA_FILE="${ca}" QT_QPA_PLATFORM=xcb QT_XCB_GL_INTEGRATION=none "${root}/build/ui/nimbo"
) || status=$?
exit "${status}"

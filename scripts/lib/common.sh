# Shared by the demo and test scripts: packages, build, and a private
# MariaDB server kept in a folder of its own. Source it; do not run it.

REPO_DIR="$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)"
BUILD_DIR="${BUILD_DIR:-$REPO_DIR/build}"

# Debian packages the build, the tests and the demo need.
REQUIRED_PACKAGES=(
    cmake ninja-build g++ pkg-config
    qt6-base-dev qt6-base-dev-tools qt6-base-private-dev libqt6sql6-mysql
    libssl-dev
    mariadb-server mariadb-client
    ffmpeg libavformat-dev libavcodec-dev libswscale-dev libavutil-dev
    desktop-file-utils appstream man-db
)

# What scripts/package needs besides: dpkg-shlibdeps (dpkg-dev) and file
# find the packages' library dependencies, lintian checks the packages.
PACKAGING_PACKAGES=(dpkg-dev file lintian)
# What scripts/package --check needs to build a throwaway Debian root.
PACKAGE_CHECK_PACKAGES=(debootstrap)

say() { printf '%s\n' "$*" >&2; }
die() { say "error: $*"; exit 1; }

ensure_packages() {
    local missing=() pkg
    for pkg in "${REQUIRED_PACKAGES[@]}" "$@"; do
        if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
            missing+=("$pkg")
        fi
    done
    [ ${#missing[@]} -eq 0 ] && return 0
    if [ "$(id -u)" -ne 0 ]; then
        die "missing packages: ${missing[*]}; run as root or install them with: sudo apt-get install ${missing[*]}"
    fi
    say "Installing: ${missing[*]}"
    export DEBIAN_FRONTEND=noninteractive
    apt-get update -qq || die "apt-get update failed"
    apt-get install -y -qq --no-install-recommends "${missing[@]}" >/dev/null \
        || die "apt-get install ${missing[*]} failed"
}

# build_client [TARGET...]: configures build/ and builds the given targets,
# or every target (the tests and benchmarks too) when none is given.
build_client() {
    cmake -S "$REPO_DIR" -B "$BUILD_DIR" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo >/dev/null \
        || die "cmake configure failed"
    local targets=()
    [ $# -eq 0 ] || targets=(--target "$@")
    cmake --build "$BUILD_DIR" -j "$(nproc)" "${targets[@]}" || die "build failed"
}

# A TCP port nobody listens on at 127.0.0.1, below the kernel's range for
# outgoing connections (a port of that range can be taken by any connection
# opened between this check and the server's bind).
free_port() {
    local port tries=0 low=32768 high
    if [ -r /proc/sys/net/ipv4/ip_local_port_range ]; then
        read -r low high </proc/sys/net/ipv4/ip_local_port_range || low=32768
    fi
    [ "$low" -gt 11000 ] || low=11000
    while [ $tries -lt 200 ]; do
        port=$(( 10000 + RANDOM % (low - 10000) ))
        if ! (exec 3<>"/dev/tcp/127.0.0.1/$port") 2>/dev/null; then
            echo "$port"
            return 0
        fi
        tries=$((tries + 1))
    done
    die "no free port found on 127.0.0.1"
}

# db_start DIR: starts a private server whose data, socket and logs live in
# DIR (initialised on first use). Sets DB_PORT, DB_SOCKET and DB_PID.
db_start() {
    local dir="$1" fresh=0
    mkdir -p "$dir"
    DB_SOCKET="$dir/s.sock"
    if [ ! -d "$dir/data/mysql" ]; then
        fresh=1
        mariadb-install-db --no-defaults --user="$(id -un)" --datadir="$dir/data" \
            --auth-root-authentication-method=socket --skip-test-db >"$dir/install.log" 2>&1 \
            || { cat "$dir/install.log" >&2; die "mariadb-install-db failed"; }
    fi
    local i tries log_start
    # Another listener can still take the port before the server binds it:
    # then it starts again on another.
    for tries in 1 2 3 4 5; do
        DB_PORT=$(free_port)
        log_start=$(( $(stat -c %s "$dir/error.log" 2>/dev/null || echo 0) + 1 ))
        mariadbd --no-defaults --user="$(id -un)" --datadir="$dir/data" \
            --bind-address=127.0.0.1 --port="$DB_PORT" --socket="$DB_SOCKET" \
            --pid-file="$dir/mariadbd.pid" --log-error="$dir/error.log" \
            --skip-name-resolve --innodb-buffer-pool-size=128M >/dev/null 2>&1 &
        DB_PID=$!
        for i in $(seq 1 100); do
            if mariadb-admin --no-defaults --socket="$DB_SOCKET" -uroot ping >/dev/null 2>&1; then
                DB_FRESH=$fresh
                return 0
            fi
            if ! kill -0 "$DB_PID" 2>/dev/null; then
                if [ "$tries" -lt 5 ] && tail -c +"$log_start" "$dir/error.log" | grep -q "Address already in use"; then
                    say "port $DB_PORT was taken before the database server bound it; trying another"
                    continue 2
                fi
                tail -20 "$dir/error.log" >&2
                die "the database server did not start"
            fi
            sleep 0.2
        done
        break
    done
    tail -20 "$dir/error.log" >&2
    db_stop
    die "the database server did not answer within 20 s"
}

db_stop() {
    [ -n "${DB_PID:-}" ] || return 0
    kill "$DB_PID" 2>/dev/null || true
    local i
    for i in $(seq 1 150); do
        kill -0 "$DB_PID" 2>/dev/null || { DB_PID=; return 0; }
        sleep 0.2
    done
    kill -9 "$DB_PID" 2>/dev/null || true
    DB_PID=
}

# db_sql SQL...: runs statements as the server's root over its socket.
db_sql() {
    mariadb --no-defaults --socket="$DB_SOCKET" -uroot "$@"
}

# db_create NAME USER PASSWORD: a database with the schema and its own user.
db_create() {
    local name="$1" user="$2" password="$3"
    db_sql -e "CREATE DATABASE IF NOT EXISTS \`$name\` CHARACTER SET utf8mb4;
        CREATE USER IF NOT EXISTS '$user'@'127.0.0.1' IDENTIFIED BY '$password';
        CREATE USER IF NOT EXISTS '$user'@'localhost' IDENTIFIED BY '$password';
        GRANT ALL ON \`$name\`.* TO '$user'@'127.0.0.1';
        GRANT ALL ON \`$name\`.* TO '$user'@'localhost';" || die "creating database $name failed"
    db_sql "$name" <"$REPO_DIR/db/schema.sql" || die "loading the schema into $name failed"
}

# make_clip PATH SECONDS: a small camera-like clip (H.264 4:2:0 with AC-3
# audio in MPEG-TS) generated from test sources.
make_clip() {
    local path="$1" seconds="${2:-2}" tone="${3:-440}"
    mkdir -p "$(dirname "$path")"
    ffmpeg -nostdin -hide_banner -loglevel error -y \
        -f lavfi -i "testsrc2=size=1280x720:rate=25:duration=$seconds" \
        -f lavfi -i "sine=frequency=$tone:duration=$seconds" \
        -t "$seconds" -c:v libx264 -preset ultrafast -pix_fmt yuv420p \
        -c:a ac3 -b:a 128k -f mpegts "$path" </dev/null || die "ffmpeg could not make $path"
}

# start_test_server WORK_DIR: a throwaway server in WORK_DIR with a test
# database and user, its details exported as TAVELO_TEST_DB_* for the tests
# and benchmarks. Stop it with db_stop.
start_test_server() {
    local work="$1"
    db_start "$work/db"
    export TAVELO_TEST_DB_HOST=127.0.0.1
    export TAVELO_TEST_DB_PORT="$DB_PORT"
    export TAVELO_TEST_DB_SOCKET="$DB_SOCKET"
    export TAVELO_TEST_DB_NAME=tavelo_test
    export TAVELO_TEST_DB_USER=tavelo_test
    export TAVELO_TEST_DB_PASSWORD="test-$RANDOM$RANDOM"
    export TAVELO_TEST_DB_PID="$DB_PID"
    db_create "$TAVELO_TEST_DB_NAME" "$TAVELO_TEST_DB_USER" "$TAVELO_TEST_DB_PASSWORD"
}

# private_home WORK_DIR: settings, caches and runtime files below WORK_DIR,
# so tests and benchmarks never touch the person's own.
private_home() {
    local work="$1"
    export HOME="$work/home"
    export XDG_CONFIG_HOME="$HOME/.config"
    export XDG_CACHE_HOME="$HOME/.cache"
    export XDG_RUNTIME_DIR="$work/runtime"
    mkdir -p "$HOME" "$XDG_RUNTIME_DIR"
    chmod 700 "$XDG_RUNTIME_DIR"
}

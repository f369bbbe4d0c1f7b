# SPDX-License-Identifier: GPL-3.0-or-later
# Sourced by the benchmarks: a scratch folder that goes when the benchmark ends, its folder
# "www" served from a local nginx on a free loopback port, and the median of numbers, one a
# line.

# make_work NAME: makes the scratch folder, sets `work` to it, with "www" and "tmp" in it; on
# exit the folder is removed and its nginx, if started, stopped.
make_work() {
    work=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-$1.XXXXXX")
    trap remove_work EXIT
    mkdir -p "$work/www" "$work/tmp"
}

remove_work() {
    [ -f "$work/nginx.pid" ] && kill "$(cat "$work/nginx.pid")" 2>/dev/null || true
    rm -rf "$work"
}

# start_local_nginx WORK TYPES: WORK is the scratch folder (its nginx.pid lets the caller stop
# nginx); TYPES the nginx lines that say what the pages are. Sets `port`.
start_local_nginx() {
    local work=$1 types=$2 user_line="" nginx_program
    nginx_program=$(command -v nginx || echo /usr/sbin/nginx)
    port=$(python3 -c 'import socket; s = socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])')
    [ "$(id -u)" -eq 0 ] && user_line="user $(id -un) $(id -gn);"
    mkdir -p "$work/tmp"
    cat >"$work/nginx.conf" <<CONF
$user_line
worker_processes 1;
pid "$work/nginx.pid";
error_log "$work/error.log" warn;
events { worker_connections 64; }
http {
    $types
    access_log off;
    sendfile on;
    client_body_temp_path "$work/tmp/body";
    proxy_temp_path "$work/tmp/proxy";
    fastcgi_temp_path "$work/tmp/fastcgi";
    uwsgi_temp_path "$work/tmp/uwsgi";
    scgi_temp_path "$work/tmp/scgi";
    server { listen 127.0.0.1:$port; root "$work/www"; }
}
CONF
    "$nginx_program" -p "$work/" -c "$work/nginx.conf" -e "$work/error.log" || {
        echo "nginx did not start: $(cat "$work/error.log")" >&2
        exit 1
    }
    for _ in $(seq 100); do
        curl -s -o /dev/null "http://127.0.0.1:$port/" && break || sleep 0.1
    done
}

median() { sort -g | awk '{ v[NR] = $1 } END { print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2 }'; }

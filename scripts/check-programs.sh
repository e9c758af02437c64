#!/usr/bin/env bash
# Checks that every external program the project starts comes from a package that
# scripts/bootstrap.sh installs (or that every Debian system has: Essential or Priority required),
# so that a fresh machine runs everything a developer's machine runs. Needs no build; run it after
# scripts/bootstrap.sh (CI does), since a program that is not installed fails the check.
#
#   scripts/check-programs.sh              the check; prints each program that no such package provides
#   scripts/check-programs.sh --list       every program found, with its package and where it is started
#   scripts/check-programs.sh --trace LOG  compares an `strace -f -e trace=execve,clone,clone3,fork,vfork`
#                                          log of a run (e.g. the whole suite) with what the check finds:
#                                          prints each program the project executed that the check
#                                          does not know, and exits 1 when there is one
#
# scripts/program-names.pl finds the programs by name where they are started: commands of the
# shell scripts, QProcess calls and scripts written by the C++ sources, CMake's COMMAND and
# find_program. The two tables below hold what has no name in the sources.
set -euo pipefail
cd "$(dirname "$0")/.."

# Started with no name in the sources: program (or a pattern of its path)|where.
extra=(
    "/usr/lib/*/libproxy/*/pxgsettings|api/SystemProxy.cpp: libproxy runs it to read GNOME's proxy settings"
    "xdg-open|ui/Browser.cpp: QDesktopServices::openUrl runs it on a desktop without a URL handler of its own"
    "xcodebuild|inspect/ExportRunner.cpp: the export tool at Config::xcodebuildPath()"
)
# Allowed without a package of the list: program|why.
given=(
    "sudo|scripts/bootstrap.sh runs apt-get through it when not run as root; the README asks for root or sudo"
    "xcodebuild|the export tool exists only on macOS; QUILLO_XCODEBUILD names a stand-in (the tests use tests/fixtures/fake-xcodebuild.sh)"
)

mode=check
case ${1:-} in
    --list) mode=list ;;
    --trace) mode=trace; trace_log=${2:?usage: $0 --trace LOG} ;;
    "") ;;
    *) echo "usage: $0 [--list | --trace LOG]" >&2; exit 64 ;;
esac

mapfile -t sources < <(git ls-files -- '*.sh' '*.cpp' '*.h' '*CMakeLists.txt' '*.cmake' .ci/run resources/deviceconsole)
# Files of the project started by name (tests/fixtures/make-apk.sh, resources/deviceconsole).
declare -A own
while IFS= read -r path; do own[${path##*/}]=1; done < <(git ls-files)
# The project's own programs (quillo, quillo-server, …), which the build makes.
while IFS= read -r name; do own[$name]=1; done < <(git grep -h -o -E 'add_executable\([A-Za-z0-9_.-]+' -- '*CMakeLists.txt' | sed 's/add_executable(//')

# The scanner's output goes through a variable: a scanner that fails must fail the check.
starts=$(perl scripts/program-names.pl "${sources[@]}") || { echo "check-programs: the scan failed" >&2; exit 2; }
declare -A where
while IFS=$'\t' read -r name at; do
    [ -n "$name" ] && [ -z "${own[$name]:-}" ] || continue
    where[$name]+="${where[$name]:+, }$at"
done <<<"$starts"
for entry in "${extra[@]}"; do where[${entry%%|*}]+="${where[${entry%%|*}]:+, }${entry#*|}"; done
declare -A why known
for entry in "${given[@]}"; do why[${entry%%|*}]=${entry#*|}; done
for name in "${!where[@]}"; do known[${name##*/}]=1; done

if [ "$mode" = trace ]; then
    status=0
    executed=$(perl scripts/program-names.pl --trace "$trace_log" "$(pwd)") || { echo "check-programs: cannot read $trace_log" >&2; exit 2; }
    while IFS= read -r path; do
        [ -n "$path" ] || continue
        name=${path##*/}
        if [ -z "${known[$name]:-}${why[$name]:-}" ]; then
            echo "check-programs: $path was executed by the project but is not found in its sources"
            status=1
        fi
    done < <(sort -u <<<"$executed")
    [ $status -eq 0 ] && echo "check-programs: every program executed in $trace_log is found in the sources"
    exit $status
fi

# The packages a fresh machine has after scripts/bootstrap.sh: those it lists, those every Debian
# system has (Essential, or Priority required), and whatever these depend on (the first choice of
# each dependency, which apt installs), as the installed packages' dependencies say.
declare -A acceptable
while IFS= read -r package; do
    acceptable[$package]=1
done < <(
    {
        awk '/^packages=\(/ { on = 1; next } on && /^\)/ { exit } on' scripts/bootstrap.sh | sed 's/#.*//' |
            tr -s ' \t' '\n' | sed '/^$/d; s/^/listed /'
        dpkg-query -W -f='installed ${Package}\t${Essential}\t${Priority}\t${Pre-Depends}, ${Depends}\n'
    } | awk -F'\t' '
        $1 ~ /^listed / { sub(/^listed /, ""); root[$1] = 1; next }
        {
            name = substr($1, 11)
            if ($2 == "yes" || $3 == "required") root[name] = 1
            n = split($4, deps, /, */)
            for (i = 1; i <= n; i++) {
                d = deps[i]
                sub(/ *\|.*/, "", d); sub(/ *\(.*/, "", d); sub(/:any$/, "", d)
                if (d != "") depends[name] = depends[name] " " d
            }
        }
        END {
            for (p in root) queue[++tail] = p
            for (head = 1; head <= tail; head++) {
                p = queue[head]
                if (p in seen) continue
                seen[p] = 1
                print p
                n = split(depends[p], deps, " ")
                for (i = 1; i <= n; i++) if (!(deps[i] in seen)) queue[++tail] = deps[i]
            }
        }'
)

# Where a package would have put the program; for dpkg -S, the path, its twin across the merged
# /usr (/bin/sed is /usr/bin/sed) and the file it links to (alternatives).
declare -A found candidates
for name in "${!where[@]}"; do
    path=
    if [[ $name == *'*'* ]]; then
        path=$(compgen -G "$name" | head -n 1 || true)
    elif [[ $name == /* ]]; then
        [ -e "$name" ] && path=$name
    else
        for dir in /usr/sbin /usr/bin /sbin /bin /usr/games; do
            if [ -x "$dir/$name" ]; then path=$dir/$name; break; fi
        done
    fi
    [ -n "$path" ] || continue
    found[$name]=$path
    list=$path
    case $path in /usr/*) list+=" ${path#/usr}" ;; *) list+=" /usr$path" ;; esac
    real=$(readlink -f "$path")
    [ "$real" != "$path" ] && list+=" $real"
    candidates[$name]=$list
done
declare -A owner
if [ ${#candidates[@]} -gt 0 ]; then
    # shellcheck disable=SC2046 # one path a word
    while IFS= read -r line; do
        [[ $line == diversion* ]] && continue
        packages=${line%%: /*}
        file=${line#*: }
        owner[$file]=${packages%%,*}
        owner[$file]=${owner[$file]%%:*} # without the architecture
    done < <(dpkg -S $(printf '%s\n' "${candidates[@]}" | tr ' ' '\n' | sort -u) 2>/dev/null || true)
fi

status=0
missing=()
mapfile -t names < <(printf '%s\n' "${!where[@]}" | sort)
for name in "${names[@]}"; do
    package=
    for candidate in ${candidates[$name]:-}; do
        if [ -n "${owner[$candidate]:-}" ]; then package=${owner[$candidate]}; break; fi
    done
    if [ "$mode" = list ]; then
        label=${package:-(none)}
        [ -n "${why[${name##*/}]:-}" ] && label="(given: ${why[${name##*/}]})"
        printf '%-28s %-24s %s\n' "$name" "$label" "${where[$name]}"
        continue
    fi
    [ -n "${why[${name##*/}]:-}" ] && continue
    if [ -z "${found[$name]:-}" ]; then
        missing+=("$name: not installed; started at ${where[$name]}")
    elif [ -z "$package" ]; then
        missing+=("$name: ${found[$name]} comes from no Debian package; started at ${where[$name]}")
    elif [ -z "${acceptable[$package]:-}" ]; then
        missing+=("$name: package $package is not in scripts/bootstrap.sh; started at ${where[$name]}")
    fi
done
[ "$mode" = list ] && exit 0

if [ ${#missing[@]} -gt 0 ]; then
    echo "check-programs: these programs come from no package of scripts/bootstrap.sh (add the package there):"
    printf '  %s\n' "${missing[@]}"
    status=1
else
    echo "check-programs: each of the ${#where[@]} programs started comes from a package of scripts/bootstrap.sh or of every Debian system"
fi
exit $status

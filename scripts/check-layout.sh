#!/usr/bin/env bash
# Checks that includes point down only, as the README's architecture section draws them:
#   core:    app/ api/ inspect/ store/ and the *_core targets of upload/, devicelog/, builds/
#            (no widget or GUI header, nothing from the levels above)
#   ui/:     shared widgets and platform bindings (the core only)
#   screens: upload/ devicelog/ builds/ account/ (the core, ui/, each other)
#   shell/:  the desktop program (everything above)
#   cli/ and server/ stand on the core alone; server/ never uses the client's transport (api/).
# Prints each offending include and exits 1 when there is one.
set -euo pipefail
cd "$(dirname "$0")/.."

# Source files of the toolkit-free targets inside the screen folders, read from their CMakeLists.
core_files() {
    local dir=$1 target=$2
    awk -v t="add_library($target" 'index($0, t) { on = 1; next } on && /\)/ { on = 0 } on' "$dir/CMakeLists.txt" |
        tr ' ' '\n' | grep -E '\.(cpp|h)$' | sed "s|^|$dir/|"
}

declare -A level
for f in $(git ls-files 'app/*.cpp' 'app/*.h' 'api/*.cpp' 'api/*.h' 'inspect/*.cpp' 'inspect/*.h' 'store/*.cpp' 'store/*.h') \
         $(core_files upload quillo_upload_core) $(core_files devicelog quillo_devicelog_core) \
         $(core_files builds quillo_builds_core); do
    level[$f]=core
done

allowed() { # $1 file's level or folder, $2 included folder
    case $1 in
        core) [[ $2 =~ ^(app|api|inspect|store|upload|devicelog|builds)$ ]] ;;
        ui) [[ $2 =~ ^(app|api|inspect|store|upload|devicelog|ui)$ ]] ;;
        upload | devicelog | builds | account) [[ $2 != shell && $2 != cli && $2 != server ]] ;;
        shell) [[ $2 != cli && $2 != server ]] ;;
        cli) [[ $2 =~ ^(app|api|inspect|store|upload|devicelog|builds|cli)$ ]] ;;
        server) [[ $2 =~ ^(app|inspect|server)$ ]] ;;
        *) true ;;
    esac
}

status=0
while IFS= read -r file; do
    folder=${file%%/*}
    lvl=${level[$file]:-$folder}
    while IFS=: read -r line target; do
        included=${target%%/*}
        # The core and the command line may include only core files of the screen folders.
        if [[ $lvl =~ ^(core|cli)$ ]] && [[ $included =~ ^(upload|devicelog|builds)$ ]] && [ "${level[$target]:-}" != core ]; then
            echo "$file:$line: $lvl includes the screen file $target"
            status=1
        elif ! allowed "$lvl" "$included"; then
            echo "$file:$line: $lvl includes $target, a level above or beside it"
            status=1
        fi
    done < <(grep -n -o -E '^#include "[a-z]+/[^"]+"' "$file" | sed -E 's/#include "([^"]+)"/\1/')
    if [ "$lvl" = core ] && grep -n -E '^#include <Q(Widget|Application|GuiApplication|Pixmap|Image|Icon|Painter|Color|MessageBox|DesktopServices|Window|Font)\b|^#include <Qt(Widgets|Gui)' "$file" >/dev/null; then
        grep -n -E '^#include <Q(Widget|Application|GuiApplication|Pixmap|Image|Icon|Painter|Color|MessageBox|DesktopServices|Window|Font)\b|^#include <Qt(Widgets|Gui)' "$file" | sed "s|^|$file:|; s|\$|  (a GUI header in the core)|"
        status=1
    fi
done < <(git ls-files '*.cpp' '*.h' | grep -E '^(app|api|inspect|store|upload|devicelog|builds|account|ui|shell|cli|server)/')

[ $status -eq 0 ] && echo "check-layout: includes point down only"
exit $status

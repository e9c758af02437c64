#!/usr/bin/env bash
# Uploads a build to Quillo from any CI system (or a plain shell) and exports its download page.
#
#   QUILLO_USER_KEY=…  bash upload.sh app/build/outputs/apk/release/app-release.apk "Release notes"
#
# Needs quillo and jq. The session comes from QUILLO_USER_KEY (print it once with
# `quillo login --print-key` and keep it in the CI's secret store): no login, no settings file.
# Prints QUILLO_DOWNLOAD_URL=<address> and, when the CI names one, appends it to its output file
# ($GITHUB_OUTPUT, or the file in $QUILLO_ENV_FILE, e.g. a GitLab dotenv report).
set -euo pipefail

package=${1:?usage: upload.sh PACKAGE [NOTES]}
notes=${2:-}

if [ -z "${QUILLO_USER_KEY:-}" ]; then
    echo "upload.sh: QUILLO_USER_KEY is not set (is the secret available to this job?)" >&2
    exit 2
fi

# Up to three retries after a refused, reset or stalled connection; the whole package is sent
# again each time.
reply=$(quillo upload "$package" --notes "$notes" --json --retries 3)
url=$(jq -r '.downloadUrl // empty' <<<"$reply")
if [ -z "$url" ]; then
    echo "upload.sh: the service stored the build but returned no download address" >&2
    exit 1
fi

echo "QUILLO_DOWNLOAD_URL=$url"
if [ -n "${GITHUB_OUTPUT:-}" ]; then
    echo "download_url=$url" >>"$GITHUB_OUTPUT"
fi
if [ -n "${QUILLO_ENV_FILE:-}" ]; then
    echo "QUILLO_DOWNLOAD_URL=$url" >>"$QUILLO_ENV_FILE"
fi

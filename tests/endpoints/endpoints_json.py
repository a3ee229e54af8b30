"""Reads `norvctl endpoints --json` from standard input and prints one
tab-separated line per endpoint, so that a test written in C++ can check the
JSON through a real parser: json.load rejects anything malformed."""
import json
import sys

listing = json.load(sys.stdin)
print("directory", listing["directory"], sep="\t")
for e in listing["endpoints"]:
    for key in ("accepts", "answers", "reflection"):
        if not isinstance(e[key], bool):
            sys.exit(f"{key} of {e['endpoint']} is not a boolean")
    if not isinstance(e["pid"], int) or not isinstance(e["services"], list):
        sys.exit(f"pid or services of {e['endpoint']} has the wrong type")
    print("endpoint", e["pid"], e["process"] or "-", e["endpoint"], e["state"], e["lock"],
          "answers" if e["answers"] else "silent", e["health"] or "-",
          ",".join(e["services"]) or "-", e["problem"] or "-", sep="\t")
for path in listing.get("removed", []):
    print("removed", path, sep="\t")
for e in listing["endpoints"]:
    for c in e["clients"]:
        print("client", e["pid"], e["endpoint"], c["pid"], c["process"] or "-", sep="\t")
    for s in e["subscribers"] or []:
        print("subscriber", e["pid"], e["endpoint"], s["key"], s["pid"], s["process"] or "-",
              "connected" if s["connected"] else "gone", s["last_answer"], sep="\t")

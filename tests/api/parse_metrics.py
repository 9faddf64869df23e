"""Parses Prometheus text-format metrics from standard input with prometheus_client's parser
and prints every sample as JSON: [{"family", "type", "name", "labels", "value"}]. Exits 1
with the parser's complaint when the text does not parse."""
import json
import sys

from prometheus_client.parser import text_string_to_metric_families


def main():
    samples = []
    try:
        for family in text_string_to_metric_families(sys.stdin.read()):
            for sample in family.samples:
                samples.append({"family": family.name, "type": family.type, "name": sample.name,
                                "labels": sample.labels, "value": sample.value})
    except Exception as error:  # the parser raises ValueError and others on malformed text
        print("metrics do not parse: %s" % error)
        return 1
    print(json.dumps(samples))
    return 0


if __name__ == "__main__":
    sys.exit(main())

#!/usr/bin/python3
"""Opens a run report in LibreOffice Calc without a screen, saves it as a
spreadsheet, and reads that back through Calc as UTF-8 CSV. Prints JSON:
the rows as Calc holds them. Run with /usr/bin/python3.

Calc's text import is told what its dialog offers for the file: comma,
double quote, UTF-8. Headless, Calc does not read the byte-order mark as
its dialog does, and takes the locale's 8-bit character set instead.

  report_in_calc.py REPORT.csv SCRATCH"""

import csv
import json
import os
import subprocess
import sys


def soffice(scratch, *args):
    profile = "file://" + os.path.join(os.path.abspath(scratch), "profile")
    subprocess.run(["soffice", "-env:UserInstallation=" + profile, "--headless", "--norestore", *args],
                   check=True, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=240)


def main():
    report, scratch = sys.argv[1], sys.argv[2]
    sheet_dir = os.path.join(scratch, "sheet")
    text_dir = os.path.join(scratch, "text")
    soffice(scratch, "--infilter=CSV:44,34,76,1", "--convert-to", "ods", "--outdir", sheet_dir, report)
    sheet = os.path.join(sheet_dir, os.path.splitext(os.path.basename(report))[0] + ".ods")
    # 44: comma, 34: double quote, 76: UTF-8.
    soffice(scratch, "--convert-to", 'csv:Text - txt - csv (StarCalc):44,34,76', "--outdir", text_dir, sheet)
    back = os.path.join(text_dir, os.path.splitext(os.path.basename(report))[0] + ".csv")
    with open(back, encoding="utf-8", newline="") as f:
        rows = list(csv.reader(f))
    json.dump({"rows": rows}, sys.stdout)


main()

#!/usr/bin/env python3
"""same_output_compare.py B1 B2 B3 AFTER (outputs of scripts/same-output): every file of AFTER equals B1's, except in PSTs at
byte positions where the before runs differ among themselves (random keys)."""
import os, sys
b1, b2, b3, after = sys.argv[1:5]
def files(root):
    out = set()
    for d, _, fs in os.walk(root):
        for f in fs: out.add(os.path.relpath(os.path.join(d, f), root))
    return out
def diffpos(x, y):
    if len(x) != len(y): return None
    return {i for i in range(len(x)) if x[i] != y[i]}
fa, f1 = files(after), files(b1)
bad = 0
if fa != f1:
    print("file sets differ:", sorted(fa ^ f1)[:10]); bad += 1
same = masked = 0
for rel in sorted(fa & f1):
    A = open(os.path.join(after, rel), 'rb').read(); B = open(os.path.join(b1, rel), 'rb').read()
    if A == B: same += 1; continue
    B2 = open(os.path.join(b2, rel), 'rb').read(); B3 = open(os.path.join(b3, rel), 'rb').read()
    rand = (diffpos(B, B2) or set()) | (diffpos(B, B3) or set())
    d = diffpos(B, A)
    if d is None or not d <= rand:
        print("DIFFERS:", rel, "size", len(B), len(A), "outside random bytes:", None if d is None else len(d - rand)); bad += 1
    else: masked += 1
print(f"{len(fa)} files: {same} byte-identical, {masked} identical outside the random bytes, {bad} differing")
sys.exit(1 if bad else 0)

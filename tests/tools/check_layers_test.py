#!/usr/bin/env python3
"""Runs tools/check_layers.py over small source trees with known includes."""
import pathlib
import subprocess
import sys
import tempfile
import unittest

TOP = pathlib.Path(__file__).resolve().parents[2]
CHECKER = TOP / "tools" / "check_layers.py"
LAYERS = (TOP / "cmake" / "ZqLayers.txt").read_text()


class CheckLayersTest(unittest.TestCase):
    def run_checker(self, files, layers=LAYERS):
        with tempfile.TemporaryDirectory() as root:
            root = pathlib.Path(root)
            (root / "cmake").mkdir()
            (root / "cmake" / "ZqLayers.txt").write_text(layers)
            for name, text in files.items():
                (root / name).parent.mkdir(parents=True, exist_ok=True)
                (root / name).write_text(text)
            result = subprocess.run([sys.executable, str(CHECKER), str(root)], capture_output=True, text=True)
            return result.returncode, result.stdout + result.stderr

    def test_includes_of_own_and_lower_layers_pass(self):
        code, output = self.run_checker({
            "http/a.cpp": '#include "http/a.h"\n#include "tls/b.h"\n#include "core/zqStream.h"\n#include <vector>\n',
            "html/c.h": '#include "codec/d.h"\n#include "platform/e.h"\n',
            "core/f.cpp": '#include "core/zqText.h"\n'})
        self.assertEqual(code, 0, output)

    def test_include_of_a_higher_layer_fails_with_its_place(self):
        code, output = self.run_checker({
            "core/zqStream.cpp": '#include "core/zqStream.h"\n\n#include "platform/zqSystem.h"\n',
            "codec/ok.cpp": '#include "core/zqText.h"\n'})
        self.assertEqual(code, 1)
        self.assertIn("core/zqStream.cpp:3: core/ may not include platform/", output)
        self.assertNotIn("codec/ok.cpp", output)

    def test_side_by_side_layers_may_not_include_each_other(self):
        code, output = self.run_checker({"html/a.h": '#  include "net/zqSocket.h"\n'})
        self.assertEqual(code, 1)
        self.assertIn("html/a.h:1: html/ may not include net/", output)

    def test_a_cycle_in_the_layer_table_is_refused(self):
        code, output = self.run_checker({}, layers="core: net\nnet: core\n")
        self.assertNotEqual(code, 0)
        self.assertIn("layer cycle", output)

    def test_the_real_tree_keeps_its_layers(self):
        result = subprocess.run([sys.executable, str(CHECKER), str(TOP)], capture_output=True, text=True)
        self.assertEqual(result.returncode, 0, result.stdout)


if __name__ == "__main__":
    unittest.main()

"""The README's demo, run end to end against this build: all six checks pass,
each step says what it showed, no secret is printed, and the work directory
is removed after a run that passed."""

import os
import re
import subprocess
import sys
import unittest

SOURCE = os.environ["FENRA_SOURCE"]
BUILD = os.environ["FENRA_BUILD"]
DEMO = os.path.join(SOURCE, "tools", "demo.py")
sys.path.insert(0, os.path.join(SOURCE, "tools"))


class Demo(unittest.TestCase):
    def test_script_is_executable_and_parses(self):
        script = os.path.join(SOURCE, "tools", "demo.sh")
        self.assertTrue(os.access(script, os.X_OK))
        self.assertEqual(subprocess.run(["bash", "-n", script]).returncode, 0)

    def test_all_checks_pass(self):
        r = subprocess.run([sys.executable, DEMO, "--build", BUILD], stdin=subprocess.DEVNULL,
                           capture_output=True, text=True, timeout=600)
        out = r.stdout
        self.assertEqual(r.returncode, 0, out + r.stderr)
        last = out.rstrip("\n").splitlines()[-1]
        self.assertRegex(last, r"^demo: all 6 checks passed in \d+\.\d s$")

        self.assertEqual(out.count("authenticated by server dialback"), 2, out)
        self.assertEqual(out.count("authenticated by DANE + SASL EXTERNAL"), 2, out)
        self.assertEqual(out.count("logged in as alice"), 2, out)
        for direction in ("alice@a.test/demo -> bob@b.test", "bob@b.test/demo -> alice@a.test"):
            self.assertEqual(out.count("-- " + direction), 2, out)
        # The stanza as it left and as it arrived, and each login's answer.
        self.assertIn("InboundStanza from=\"alice@a.test/demo\" to=\"bob@b.test\"", out)
        self.assertEqual(out.count('answer: AuthSuccess id=1 username="alice"'), 2, out)
        # The key log lines, filtered: the handshakes, not the start-up chatter.
        for line in ("outbound dialback verified by b.test", "DANE result for b.test: verified",
                     "inbound S2S authenticated: remote=a.test",
                     "PLAIN auth success (IdP): 'alice'", "OAUTHBEARER auth success: 'alice'"):
            self.assertIn(line, out)
        self.assertNotIn("fenra-s2s event loop started", out)

        import demo
        for secret in (demo.LOGIN_USER["password"], demo.LOGIN_CLIENT["client_secret"]):
            self.assertNotIn(secret, out + r.stderr)
        workdir = re.search(r"work directory: (\S+)", out).group(1)
        self.assertFalse(os.path.exists(workdir))


if __name__ == "__main__":
    unittest.main(verbosity=2)

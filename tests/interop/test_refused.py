#!/usr/bin/env python3
"""A delivery to a domain whose server refuses connections comes back to
our core as DeliveryFailed with the condition word, and a second delivery to
the same domain starts a new attempt and fails the same way."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import world  # noqa: E402

world.enter()

D = "d.test"


class Refused(world.CellCase):
    def test_cell11_delivery_to_refusing_server_fails(self):
        self.run_dns(world.zone(self.world))
        f = self.run_fenra()
        for n in (1, 2):
            to = "dave@d.test"
            frm = "alice@a.test/core"
            f.deliver(frm, to, world.chat_message(to, "nobody listens", "r%d" % n, frm=frm))
            got = f.wait_failed(to, world.WAIT)
            if got is None:
                self.fail_with_evidence("no DeliveryFailed for %s (attempt %d)" % (to, n))
            self.assertEqual(got, (frm, to, "tcp-connect-failed"), self.evidence())
        # Another thread reads the log: the second line may still be on its way.
        connecting = "connecting to xmpp.d.test:5269 for domain d.test (direct_tls=false)"
        world.t.wait_until(lambda: len(f.find(connecting)) >= 2, 5, "the second connect logged")
        self.assertEqual(len(f.find(connecting)), 2, self.evidence())


if __name__ == "__main__":
    world.main()

#!/usr/bin/env python3
"""The interop world without fenra-s2s: Prosody (b.test) and ejabberd
(c.test) federate with each other and their users exchange messages both
ways. When a cell fails, this says whether the world itself works: DNS,
certificates, the peers' configurations and the client."""

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import ejabberd  # noqa: E402
import prosody  # noqa: E402
import world  # noqa: E402

world.enter(needs=[("prosody", prosody.available()), ("ejabberd", ejabberd.available())])


class Peers(world.CellCase):
    def test_prosody_and_ejabberd_federate(self):
        ca = self.world.ca.ca.cert
        self.run_dns(world.zone(self.world))
        b = self.run_peer(prosody.Prosody(self.world.dir, "b.test", world.ADDRESS["b.test"],
                                          self.world.cert("b.test"), cafile=ca))
        c = self.run_peer(ejabberd.Ejabberd(self.world.dir, "c.test", world.ADDRESS["c.test"],
                                            self.world.cert("c.test"), cafile=ca),
                          users=("carol",))
        bob = self.login(b, "bob")
        carol = self.login(c, "carol")
        for sender, receiver, msg_id in ((bob, carol, "p1"), (carol, bob, "p2")):
            body = "from %s to %s" % (sender.jid, receiver.jid)
            sender.send(world.chat_message(receiver.jid, body, msg_id))
            elem = receiver.wait_stanza(
                lambda e: world.split_tag(e.tag)[1] == "message" and e.get("id") == msg_id,
                world.WAIT)
            problems = world.payload_problems(elem, body, msg_id)
            self.assertEqual(problems, [], self.evidence())
            self.assertEqual(elem.get("from"), sender.full_jid)


if __name__ == "__main__":
    world.main()

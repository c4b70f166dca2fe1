"""``python3 -m velmar init-weights``: a seeded random initialisation of the
network, written as an .npz that the numpy and torch evaluators read."""

import argparse

from velmar.net import network

# The switches of a network's shape beyond blocks and channels: (flag, help).
SWITCHES = (("--canonical", "a fresh network sees every position from its mover's corner, "
                            "the seat as input"),
            ("--aux-heads", "a fresh network with ownership and score heads, trained on the "
                            "games' final owners and scores"),
            ("--global-pool", "a fresh network whose blocks get a bias from the whole board"),
            ("--derived-inputs", "a fresh network that also sees the pieces every player still "
                                 "holds, the piece in progress and the open corners"))


def add_architecture_switches(ap, default=False):
    """--canonical, --aux-heads, --global-pool and --derived-inputs on a command that makes
    networks (``default`` None tells a switch not given from one off)."""
    for flag, text in SWITCHES:
        ap.add_argument(flag, action="store_true", default=default, help=text)


def main(argv=None):
    d = network.Architecture()
    ap = argparse.ArgumentParser(prog="python3 -m velmar init-weights",
                                 description="Write a seeded random initialisation of the "
                                             "numpy/torch network as an .npz.")
    ap.add_argument("--out", required=True, help="path of the .npz to write")
    ap.add_argument("--seed", type=int, default=0)
    ap.add_argument("--blocks", type=int, default=d.blocks, help="(default %(default)s)")
    ap.add_argument("--channels", type=int, default=d.channels, help="(default %(default)s)")
    ap.add_argument("--value-hidden", type=int, default=d.value_hidden,
                    help="(default %(default)s)")
    add_architecture_switches(ap)
    args = ap.parse_args(argv)
    arch = network.Architecture(args.blocks, args.channels, args.value_hidden, args.canonical,
                                aux=args.aux_heads, global_pool=args.global_pool,
                                derived=args.derived_inputs)
    try:
        weights = network.init_weights(arch, args.seed)
    except network.WeightsError as e:
        ap.error(str(e))
    network.save_weights(weights, args.out)
    print("weights: %s (%s, seed %d)" % (args.out, arch.describe(), args.seed))
    return 0

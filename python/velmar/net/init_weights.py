"""``python3 -m velmar init-weights``: a seeded random initialisation of the
network, written as an .npz that the numpy and torch evaluators read."""

import argparse

from velmar.net import network


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
    ap.add_argument("--canonical", action="store_true",
                    help="a net that sees every position from its mover's corner, the seat "
                         "as input")
    ap.add_argument("--aux-heads", action="store_true",
                    help="ownership and score heads (training targets only)")
    ap.add_argument("--global-pool", action="store_true",
                    help="every block gets a bias from the whole board")
    args = ap.parse_args(argv)
    arch = network.Architecture(args.blocks, args.channels, args.value_hidden, args.canonical,
                                aux=args.aux_heads, global_pool=args.global_pool)
    try:
        weights = network.init_weights(arch, args.seed)
    except network.WeightsError as e:
        ap.error(str(e))
    network.save_weights(weights, args.out)
    print("weights: %s (%s, seed %d)" % (args.out, arch.describe(), args.seed))
    return 0

"""The network of ``velmar.net.network`` as a PyTorch module (CPython with
Debian's python3-torch; imported only where PyTorch is wanted)."""

import numpy as np
import torch
from torch import nn

from velmar.net import derived, orientation
from velmar.net.network import CELLS, OWNER_CLASSES, SIDE, Weights, architecture_of, check_params


class Block(nn.Module):
    def __init__(self, channels, global_pool=False):
        super().__init__()
        self.conv1 = nn.Conv2d(channels, channels, 3, padding=1)
        self.conv2 = nn.Conv2d(channels, channels, 3, padding=1)
        self.gpool = nn.Linear(2 * channels, channels) if global_pool else None

    def forward(self, x):
        h = self.conv1(x)
        if self.gpool is not None:
            pooled = torch.cat([x.mean(dim=(2, 3)), x.amax(dim=(2, 3))], dim=1)
            h = h + self.gpool(pooled)[:, :, None, None]
        return torch.relu(x + self.conv2(torch.relu(h)))


class Net(nn.Module):
    """forward(planes (B, 5, 20, 20), seats=None) -> (policy logits (B, 400),
    value logits (B, 4)); the softmax of the value logits is the payoff
    relative to the mover. A canonical network turns each position to its
    mover's corner and its logits back; ``seats`` (a tensor of the movers'
    seats) saves reading them from the planes."""

    def __init__(self, arch):
        super().__init__()
        c = arch.channels
        self.arch = arch
        self.stem = nn.Conv2d(arch.input_planes, c, 3, padding=1)
        if arch.derived:
            self.held = nn.Linear(derived.HELD, c)
        self.blocks = nn.ModuleList([Block(c, arch.global_pool) for _ in range(arch.blocks)])
        self.policy = nn.Conv2d(c, 1, 1)
        self.policy_cell_bias = nn.Parameter(torch.zeros(CELLS))
        self.value_fc1 = nn.Linear(c, arch.value_hidden)
        self.value_fc2 = nn.Linear(arch.value_hidden, 4)
        if arch.aux:
            self.ownership = nn.Conv2d(c, OWNER_CLASSES, 1)
            self.score_fc = nn.Linear(c, 4)
        # cell permutations, moved with the module but not in its weights
        self.register_buffer("turn", torch.from_numpy(orientation.TURN), persistent=False)
        self.register_buffer("unturn", torch.from_numpy(orientation.UNTURN), persistent=False)

    def forward(self, x, seats=None):
        return self.forward_all(x, seats)[:2]

    def forward_all(self, x, seats=None):
        """(policy logits, value logits) and, with auxiliary heads, the
        ownership logits (B, 5, 400) and the scores relative to the mover
        (B, 4); None for those without. A network with derived inputs
        computes them from the planes on the CPU (``velmar.net.derived``)."""
        extra = held = None
        if self.arch.derived:
            extra, held = (torch.from_numpy(a).to(x.device, x.dtype)
                           for a in derived.derive(x.detach().cpu().numpy()))
        if not self.arch.canonical:
            return self.trunk_all(x if extra is None else torch.cat([x, extra], 1), held)
        if seats is None:
            seats = torch.from_numpy(orientation.mover_seats(x.detach().cpu().numpy()))
        seats = seats.to(x.device, torch.long)
        n = len(x)
        turn = self.turn[seats][:, None, :]

        def turned(planes):
            return planes.flatten(2).gather(2, turn.expand(n, planes.shape[1], CELLS))
        seat_planes = nn.functional.one_hot(seats, orientation.SEATS).to(x.dtype)
        seat_planes = seat_planes[:, :, None].expand(n, orientation.SEATS, CELLS)
        parts = [turned(x), seat_planes] + ([] if extra is None else [turned(extra)])
        logits, values, owner, score = self.trunk_all(
            torch.cat(parts, 1).view(n, -1, SIDE, SIDE), held)
        unturn = self.unturn[seats]
        if owner is not None:
            owner = owner.gather(2, unturn[:, None, :].expand(n, OWNER_CLASSES, CELLS))
        return logits.gather(1, unturn), values, owner, score

    def trunk(self, x, held=None):
        return self.trunk_all(x, held)[:2]

    def trunk_all(self, x, held=None):
        x = self.stem(x)
        if held is not None:
            x = x + self.held(held)[:, :, None, None]
        x = torch.relu(x)
        for block in self.blocks:
            x = block(x)
        logits = self.policy(x).flatten(1) + self.policy_cell_bias
        pooled = x.flatten(2).mean(dim=2)
        value = self.value_fc2(torch.relu(self.value_fc1(pooled)))
        if not self.arch.aux:
            return logits, value, None, None
        return logits, value, self.ownership(x).flatten(2), self.score_fc(pooled)


def to_module(weights, device="cpu"):
    """A ``Net`` holding the weights, on ``device``."""
    check_params(weights.params, weights.arch)
    net = Net(weights.arch)
    net.load_state_dict({k: torch.from_numpy(np.array(v, np.float32))
                         for k, v in weights.params.items()})
    return net.to(device)


def from_module(net, record=None):
    """The module's parameters as ``Weights`` (float32 NumPy arrays)."""
    params = {k: v.detach().float().cpu().numpy().copy() for k, v in net.state_dict().items()}
    return Weights(net.arch, params, record)


def from_state_dict(state):
    """Weights from a state dict (as saved with torch.save)."""
    params = {k: v.detach().float().cpu().numpy() for k, v in state.items()}
    return Weights(architecture_of(params), params)

"""Writes samples/tiny-llama.gguf: the metadata of a 1.1B-parameter llama
model (22 blocks, 2048 wide, grouped-query attention) with a small tokenizer
and one tiny tensor, so the demo plans a realistic model from a file of a
few kilobytes."""

import pathlib
import sys

import numpy as np
from gguf import GGUFWriter


def main(out: pathlib.Path) -> None:
    w = GGUFWriter(str(out), "llama")
    w.add_name("tiny-llama-sample")
    w.add_context_length(2048)
    w.add_embedding_length(2048)
    w.add_block_count(22)
    w.add_feed_forward_length(5632)
    w.add_head_count(32)
    w.add_head_count_kv(4)
    w.add_layer_norm_rms_eps(1e-5)
    w.add_tokenizer_model("llama")
    tokens = ["<unk>", "<s>", "</s>"] + [f"<0x{i:02X}>" for i in range(256)]
    w.add_token_list(tokens)
    w.add_token_scores([0.0] * len(tokens))
    w.add_token_types([2, 3, 3] + [6] * 256)
    w.add_tensor("token_embd.weight", np.zeros((4, 8), dtype=np.float16))
    w.write_header_to_file()
    w.write_kv_data_to_file()
    w.write_tensors_to_file()
    w.close()


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "samples/tiny-llama.gguf"))

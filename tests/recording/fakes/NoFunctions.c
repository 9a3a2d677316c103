/* A shared object that loads but exports none of the encoder functions. */
int wavkeep_fake_unrelated(int x) {
    return x + 1;
}
